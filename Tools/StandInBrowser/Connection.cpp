#include "Connection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <variant>

#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/AgentWire.hpp"
#include "AgentWire/LineBuffer.hpp"
#include "AgentWire/SocketWriter.hpp"

namespace StandIn {

using AgentWire::AgentMessage;
using AgentWire::JSON;

namespace {

// The serialized result line around a text item, split where the text and the id go.
constexpr std::string_view resultHead = R"({"content":[{"text":")";
constexpr std::string_view resultMiddle = R"(","type":"text"}],"id":)";
constexpr std::string_view resultTail = R"(,"isError":false,"type":"result"})";

std::string filler(size_t count) {
    static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text(count, ' ');
    for (size_t i = 0; i < count; ++i) text[i] = alphabet[i % alphabet.size()];
    return text;
}

void sleepMilliseconds(int ms) {
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000};
    while (::nanosleep(&t, &t) != 0) {
    }
}

}  // namespace

Connection::Connection(const Options& options, int fd, int number, int logFD)
    : options_(options), fd_(fd), number_(number), logFD_(logFD) {}

void Connection::serve() {
    AgentWire::LineBuffer buffer(AgentWire::maxCallBytes);
    std::string chunk(64 * 1024, '\0');
    while (true) {
        ssize_t n = ::read(fd_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        auto lines = buffer.append(std::string_view(chunk.data(), static_cast<size_t>(n)));
        auto* complete = std::get_if<AgentWire::LineBuffer::Lines>(&lines);
        if (!complete) return;  // a call line over the wire's limit
        for (size_t i = 0; i < complete->size(); ++i) {
            linesWaiting_ = i + 1 < complete->size() || buffer.pendingSize() > 0;
            if (!handle((*complete)[i].view())) return;
        }
    }
}

bool Connection::handle(std::string_view line) {
    log(line);
    if (stage_ == Stage::ignoring) return true;
    auto decoded = AgentMessage::decode(line);
    auto* message = std::get_if<AgentMessage>(&decoded);
    if (!message) return false;
    if (stage_ == Stage::hello) {
        if (!message->as<AgentMessage::Hello>()) return false;
        return handleHello();
    }
    auto* call = message->as<AgentMessage::Call>();
    if (!call) return false;
    return handleCall(call->id, call->tool, call->arguments);
}

bool Connection::handleHello() {
    if (options_.silentHello) {
        stage_ = Stage::ignoring;
        return true;
    }
    for (int i = 0; i < options_.pending; ++i) {
        if (!send(AgentMessage::pending().line())) return false;
    }
    if (options_.stopAt == Options::StopAt::hello) {
        sendStopped();
        return false;
    }
    if (options_.deny) {
        // Without a reason the message has no "reason" member at all.
        JSON denied = JSON::object({{"type", "denied"}});
        if (options_.denyReason) denied.object()->set("reason", *options_.denyReason);
        send(denied.data() + "\n");
        return false;
    }
    stage_ = Stage::ready;
    return send(AgentMessage::welcome("stand-in session " + std::to_string(number_)).line());
}

bool Connection::handleCall(int64_t id, const std::string& tool, const JSON& arguments) {
    if (options_.lateMilliseconds > 0) waitLate();
    if (options_.stopAt == Options::StopAt::call) {
        sendStopped();
        return false;
    }
    if (options_.silent) return true;
    std::string idText = std::to_string(id);
    if (options_.closeMidLine) {
        std::string line = AgentMessage::result(id, {JSON::object({{"type", "text"}, {"text", "cut"}})}, false).line();
        send(std::string_view(line).substr(0, line.size() / 2));
        return false;
    }
    if (options_.garbage) return send("this is not a message\n");
    if (options_.overlong) {
        // A well-formed result whose line is one byte over the helper's limit.
        size_t frame = resultHead.size() + resultMiddle.size() + idText.size() + resultTail.size();
        std::string line;
        line.reserve(AgentWire::maxResultBytes + 2);
        line.append(resultHead).append(filler(AgentWire::maxResultBytes + 1 - frame));
        line.append(resultMiddle).append(idText).append(resultTail).push_back('\n');
        if (!send(line)) return false;
    } else {
        if (options_.wrongID) {
            auto late = AgentMessage::result(id + 1000, {JSON::object({{"type", "text"}, {"text", "a late answer"}})}, false);
            if (!send(late.line())) return false;
        }
        // A stop after the first result goes out in the same write, so the helper surely
        // has it before its next call.
        bool stopAfter = options_.stopAt == Options::StopAt::between && answered_ == 0;
        std::string reply;
        if (options_.rawText) {
            // Escapes this side's serializer never writes (a lone surrogate), as another might.
            reply = std::string(resultHead.substr(0, resultHead.size() - 1)) + *options_.rawText +
                    std::string(resultMiddle.substr(1)) + idText + std::string(resultTail) + "\n";
        } else if (options_.resultBytes) {
            // Built once: the benchmarks time the write, not the making of the text.
            static const std::string head = std::string(resultHead) + filler(*options_.resultBytes) +
                                            std::string(resultMiddle);
            if (!send(head)) return false;
            reply = idText + std::string(resultTail) + "\n";
        } else {
            Tabs::Outcome outcome = tabs_.run(tool, arguments);
            reply = AgentMessage::result(id, std::move(outcome.content), outcome.isError).line();
        }
        if (stopAfter) reply += stoppedLine();
        if (!send(reply) || stopAfter) return false;
    }
    ++answered_;
    if (options_.closeAfterCalls && number_ == 1 && answered_ >= *options_.closeAfterCalls) return false;
    return true;
}

void Connection::waitLate() {
    // A browser sees one call at a time: anything the helper sends before this call's result
    // is logged as a fault, for the tests to find.
    bool early = linesWaiting_;
    if (!early) {
        pollfd p{fd_, POLLIN, 0};
        auto start = std::chrono::steady_clock::now();
        if (::poll(&p, 1, options_.lateMilliseconds) > 0) {
            char byte;
            early = ::recv(fd_, &byte, 1, MSG_PEEK) > 0;
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            int left = options_.lateMilliseconds - static_cast<int>(waited.count());
            if (left > 0) sleepMilliseconds(left);
        }
    } else {
        sleepMilliseconds(options_.lateMilliseconds);
    }
    if (early) log(lateOverlapMark);
}

bool Connection::send(std::string_view bytes) {
    return AgentWire::SocketWriter::writeAll(fd_, bytes, 3600.0);
}

std::string Connection::stoppedLine() const {
    JSON stopped = JSON::object({{"type", "stopped"}});
    if (options_.stopReason) stopped.object()->set("reason", *options_.stopReason);
    return stopped.data() + "\n";
}

bool Connection::sendStopped() { return send(stoppedLine()); }

void Connection::log(std::string_view line) {
    if (logFD_ < 0) return;
    std::string entry(line);
    entry.push_back('\n');
    size_t done = 0;
    while (done < entry.size()) {
        ssize_t n = ::write(logFD_, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace StandIn
