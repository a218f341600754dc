#include "AgentMCP/ServeLoop.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/POSIX.hpp"

namespace AgentMCP {

using AgentWire::JSON;

namespace {

constexpr std::string_view waitingBehindText = "Waiting for an earlier Bosken call to finish.";
constexpr std::string_view askingOwnerText = "Waiting for the owner to allow this agent in Bosken.";
constexpr std::string_view stillWaitingText = "Still waiting for Bosken.";
// A browser flooding pending messages gets at most this many notifications per read.
constexpr int maxPendingNotices = 8;

// The elements' serialized replies as one array, in the bytes the serializer writes.
std::string joined(const std::vector<std::string>& replies) {
    std::string text = "[";
    for (const std::string& reply : replies) {
        if (text.size() > 1) text += ',';
        text += reply;
    }
    return text + "]";
}

int pollTimeout(std::optional<std::chrono::steady_clock::time_point> until) {
    return until ? AgentWire::POSIX::millisecondsUntil(*until) : -1;
}

}  // namespace

ServeLoop::ServeLoop(MCPServer& server, AppLink& link, InputLines& input, ReplyWriter& output, Limits limits)
    : server_(server), link_(link), input_(input), output_(output), limits_(limits) {}

int ServeLoop::run() {
    while (true) {
        takeLines();
        advanceQueue();
        checkStillWaiting();
        if (output_.flush() == ReplyWriter::Status::closed) return 0;
        // A client may close its input right after its last request: those calls still end.
        if (input_.atEnd() && queue_.empty()) {
            output_.flushAll();
            return 0;
        }

        bool reading = !input_.atEnd() && !outputFull();
        pollfd fds[3] = {
            {reading ? input_.fd() : -1, POLLIN, 0},
            {output_.fd(), static_cast<short>(output_.pendingBytes() > 0 ? POLLOUT : 0), 0},
            {link_.fd(), link_.events(), 0},
        };
        std::optional<Clock::time_point> wake = link_.deadline();
        if (running_ && running_->stillWaitingAt && (!wake || *running_->stillWaitingAt < *wake)) {
            wake = running_->stillWaitingAt;
        }
        int ready = ::poll(fds, 3, pollTimeout(wake));
        link_.polled(ready < 0 ? -1 : fds[2].fd, fds[2].revents);
        if (ready < 0 && errno != EINTR) return 0;
        if (ready < 0) continue;

        // The client's reader has gone: nothing more can reach it, in flight or not.
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;
        if (fds[2].revents || link_.busy()) stepped(link_.advance(fds[2].revents));
        checkStillWaiting();
        if (fds[0].revents) input_.read();
    }
}

void ServeLoop::takeLines() {
    while (auto line = input_.next()) {
        if (line->tooLong) {
            output_.add(MCPServer::parseError());
            continue;
        }
        // A tool call in the writer's form takes the fast road: no tree is built for it.
        if (auto request = ToolCallScan::request(line->text)) {
            MCPServer::ToolCall call{JSON::parsed(request->id, MCPServer::parseOptions).value_or(JSON()), {}, {},
                                     std::nullopt, false};
            if (auto meta = JSON::parsed(request->meta, MCPServer::parseOptions); meta && (*meta)["progressToken"]) {
                call.progressToken = *(*meta)["progressToken"];
            }
            enqueue(std::move(line->text), std::move(call), true);
            advanceQueue();
            continue;
        }
        MCPServer::Handled handled = server_.handle(line->text);
        if (handled.reply) output_.add(std::move(*handled.reply));
        for (const JSON& id : handled.cancelled) cancel(id);
        if (handled.call) enqueue(std::move(line->text), std::move(*handled.call));
        if (handled.batch) enqueue(std::move(line->text), std::move(*handled.batch));
        // A call with nothing ahead starts before the next line is looked at, so one that ends
        // at once (no browser) is answered in request order.
        advanceQueue();
    }
}

size_t ServeLoop::callsWaiting() const {
    size_t count = running_ ? 1 : 0;
    for (const Entry& entry : queue_) count += entry.calls;
    return count;
}

void ServeLoop::enqueue(std::string line, MCPServer::ToolCall call, bool fast) {
    if (callsWaiting() >= limits_.maxCalls) {
        // The fast road's calls are legacy ones, their ids already in the writer's form: the same bytes.
        output_.add(server_.callReply(call.id, ToolOutcome::error(std::string(tooManyCallsText)), call.modern));
        return;
    }
    Entry entry;
    entry.line = std::move(line);
    entry.calls = 1;
    entry.fast = fast;
    if (link_.busy() || !queue_.empty()) notifyProgress(call.progressToken, entry.progress, waitingBehindText);
    entry.call = std::move(call);
    queue_.push_back(std::move(entry));
}

void ServeLoop::enqueue(std::string line, JSON::Array batch) {
    size_t calls = static_cast<size_t>(std::count_if(batch.begin(), batch.end(), &MCPServer::isToolCall));
    if (callsWaiting() + calls > limits_.maxCalls) {
        // Answered whole now, every call in it refused: queueing it would outgrow the limit.
        std::vector<std::string> replies;
        for (const JSON& element : batch) {
            MCPServer::Routed routed = server_.route(element);
            if (routed.reply) replies.push_back(routed.reply->data());
            if (routed.call) {
                replies.push_back(server_.callReply(routed.call->id, ToolOutcome::error(std::string(tooManyCallsText)),
                                                    routed.call->modern));
            }
            if (routed.cancelled) cancel(*routed.cancelled);
        }
        if (!replies.empty()) output_.add(joined(replies));
        return;
    }
    Entry entry;
    entry.line = std::move(line);
    entry.batch = std::move(batch);
    entry.isBatch = true;
    entry.calls = calls;
    queue_.push_back(std::move(entry));
}

void ServeLoop::advanceQueue() {
    while (!running_ && !link_.busy() && !queue_.empty() && !outputFull()) {
        Entry& head = queue_.front();
        if (!head.isBatch) {
            MCPServer::ToolCall call = std::move(*head.call);
            head.call.reset();  // running now: no longer found by a cancellation in the queue
            head.calls = 0;
            if (head.fast) {
                startFast(std::move(call), head.line, head.progress);
            } else {
                start(std::move(call), head.progress);
            }
            continue;
        }
        if (head.next == head.batch.size()) {
            finishBatch();
            continue;
        }
        JSON element = std::move(head.batch[head.next++]);
        MCPServer::Routed routed = server_.route(element);
        if (routed.reply) head.replies.push_back(routed.reply->data());
        if (routed.call) {
            --head.calls;
            start(std::move(*routed.call), 0);
        }
        // May remove later entries: `head` is not used after it.
        if (routed.cancelled) cancel(*routed.cancelled);
    }
}

void ServeLoop::start(MCPServer::ToolCall call, int64_t progress) {
    running_ = Running{std::move(call.id), std::move(call.progressToken), call.modern, progress, false, std::nullopt, {}};
    stepped(link_.start(std::move(call.tool), std::move(call.arguments)));
}

void ServeLoop::startFast(MCPServer::ToolCall call, const std::string& line, int64_t progress) {
    // Scanned again rather than keeping spans into a line the queue may have moved.
    auto request = ToolCallScan::request(line);
    if (!request) return finishCall(std::nullopt);  // the same bytes as when queued: never
    running_ = Running{std::move(call.id), std::move(call.progressToken), false, progress, false, std::nullopt,
                       std::string(request->id)};
    stepped(link_.start(*request));
}

void ServeLoop::stepped(AppLink::Step step) {
    if (!running_) return;
    for (int i = 0; i < std::min(step.pendings, maxPendingNotices); ++i) {
        notifyProgress(running_->progressToken, running_->progress, askingOwnerText);
    }
    if (step.reply) {
        output_.add(*step.reply, std::move(step.replyLine));
        return finishCall(std::nullopt);
    }
    if (step.outcome) {
        if (running_->fastID.empty()) {
            return finishCall(server_.callReply(running_->id, std::move(*step.outcome), running_->modern));
        }
        std::string reply = ToolCallScan::replyFor(running_->fastID, *step.outcome);
        reply.pop_back();  // the writer adds the line feed
        return finishCall(std::move(reply));
    }
    // A cancelled call ends without an outcome.
    if (!link_.busy()) finishCall(std::nullopt);
}

void ServeLoop::finishCall(std::optional<std::string> reply) {
    running_.reset();
    Entry& head = queue_.front();
    if (head.isBatch) {
        if (reply) head.replies.push_back(std::move(*reply));
        return;
    }
    if (reply) output_.add(std::move(*reply));
    queue_.pop_front();
}

void ServeLoop::finishBatch() {
    Entry& head = queue_.front();
    if (!head.replies.empty()) output_.add(joined(head.replies));
    queue_.pop_front();
}

void ServeLoop::cancel(const JSON& id) {
    if (running_ && !running_->cancelled && running_->id == id) {
        running_->cancelled = true;
        link_.cancel();
        if (!link_.busy()) finishCall(std::nullopt);
        return;
    }
    for (size_t i = 0; i < queue_.size(); ++i) {
        Entry& entry = queue_[i];
        if (!entry.isBatch) {
            if (entry.call && entry.call->id == id) {
                queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
            continue;
        }
        for (size_t j = entry.next; j < entry.batch.size(); ++j) {
            const JSON* elementID = entry.batch[j]["id"];
            if (MCPServer::isToolCall(entry.batch[j]) && elementID && *elementID == id) {
                entry.batch[j] = JSON();  // no reply is due for it
                --entry.calls;
                return;
            }
        }
    }
    // An unknown or finished request: nothing to do.
}

void ServeLoop::checkStillWaiting() {
    if (!running_ || !running_->progressToken || running_->cancelled || !link_.awaitingResult()) return;
    auto now = Clock::now();
    if (!running_->stillWaitingAt) {
        running_->stillWaitingAt = now + limits_.stillWaitingEvery;
        return;
    }
    if (now < *running_->stillWaitingAt) return;
    notifyProgress(running_->progressToken, running_->progress, stillWaitingText);
    running_->stillWaitingAt = now + limits_.stillWaitingEvery;
}

void ServeLoop::notifyProgress(const std::optional<JSON>& token, int64_t& count, std::string_view message) {
    // Progress is advice: a client that does not read its output gets no more of it.
    if (!token || outputFull()) return;
    JSON params = JSON::object({{"progressToken", *token}, {"progress", ++count}, {"message", JSON(message)}});
    output_.add(
        JSON::object({{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", std::move(params)}}).data());
}

std::string ServeLoop::unhandled() const {
    std::string text;
    for (const Entry& entry : queue_) text.append(entry.line).push_back('\n');
    return text + input_.unhandled();
}

bool ServeLoop::mayHandOver() const {
    if (input_.skipping()) return false;
    if (!queue_.empty() && queue_.front().isBatch) {
        const Entry& head = queue_.front();
        return head.next <= 1 && head.replies.empty();
    }
    return true;
}

}  // namespace AgentMCP
