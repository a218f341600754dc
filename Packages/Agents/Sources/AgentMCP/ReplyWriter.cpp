#include "AgentMCP/ReplyWriter.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace AgentMCP {

namespace {

// Replies joined in one writev: many small replies (a burst of pings) cost one system call.
constexpr size_t maxParts = 512;

}  // namespace

ReplyWriter::ReplyWriter(int fd) : fd_(fd) { takeOver(); }

ReplyWriter::~ReplyWriter() { restore(); }

void ReplyWriter::takeOver() {
    originalFlags_ = ::fcntl(fd_, F_GETFL);
    if (originalFlags_ >= 0 && !(originalFlags_ & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, originalFlags_ | O_NONBLOCK);
}

void ReplyWriter::restore() {
    // The descriptor's mode is shared with whoever else has it (a terminal, the next program).
    if (originalFlags_ >= 0 && !(originalFlags_ & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, originalFlags_);
    originalFlags_ = -1;
}

void ReplyWriter::add(std::string reply) {
    if (closed_) return;
    pendingBytes_ += reply.size() + 1;
    pending_.push_back({std::move(reply), nullptr});
}

void ReplyWriter::add(const ToolCallScan::Reply& reply, AgentWire::LineBuffer::Line line) {
    if (closed_) return;
    const auto& parts = reply.parts;
    Pending entry{{}, std::make_unique<Held>()};
    entry.text.reserve(reply.size() - parts[3].size());
    entry.text.append(parts[0]).append(parts[1]).append(parts[2]);
    entry.held->at = entry.text.size();
    entry.text.append(parts[4]);
    entry.held->content = parts[3];  // its bytes stay where they are when the line is moved
    entry.held->line = std::move(line);
    pendingBytes_ += entry.size();
    pending_.push_back(std::move(entry));
}

ReplyWriter::Status ReplyWriter::flush() {
    static const char lineFeed = '\n';
    while (!pending_.empty() && !closed_) {
        iovec parts[maxParts];
        int count = 0;
        for (size_t i = 0; i < pending_.size() && count + 4 <= static_cast<int>(maxParts); ++i) {
            const Pending& entry = pending_[i];
            const size_t at = entry.held ? entry.held->at : entry.text.size();
            std::string_view pieces[4] = {std::string_view(entry.text).substr(0, at),
                                          entry.held ? entry.held->content : std::string_view(),
                                          std::string_view(entry.text).substr(at),
                                          entry.held ? std::string_view() : std::string_view(&lineFeed, 1)};
            size_t skip = i == 0 ? frontWritten_ : 0;
            for (std::string_view piece : pieces) {
                if (skip >= piece.size()) {
                    skip -= piece.size();
                    continue;
                }
                parts[count++] = {const_cast<char*>(piece.data()) + skip, piece.size() - skip};
                skip = 0;
            }
        }
        ssize_t n = ::writev(fd_, parts, std::min(count, IOV_MAX));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Status::pending;
        if (n <= 0) {
            closed_ = true;
            pending_.clear();
            pendingBytes_ = 0;
            return Status::closed;
        }
        auto done = static_cast<size_t>(n);
        pendingBytes_ -= done;
        while (done > 0) {
            size_t left = pending_.front().size() - frontWritten_;
            if (done < left) {
                frontWritten_ += done;
                break;
            }
            done -= left;
            pending_.pop_front();
            frontWritten_ = 0;
        }
    }
    return closed_ ? Status::closed : Status::written;
}

ReplyWriter::Status ReplyWriter::flushAll() {
    while (true) {
        Status status = flush();
        if (status != Status::pending) return status;
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
            closed_ = true;
            return Status::closed;
        }
    }
}

}  // namespace AgentMCP
