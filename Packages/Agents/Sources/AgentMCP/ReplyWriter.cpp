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
    pending_.push_back(std::move(reply));
}

ReplyWriter::Status ReplyWriter::flush() {
    static const char lineFeed = '\n';
    while (!pending_.empty() && !closed_) {
        iovec parts[maxParts];
        int count = 0;
        for (size_t i = 0; i < pending_.size() && count + 2 <= static_cast<int>(maxParts); ++i) {
            const std::string& reply = pending_[i];
            size_t from = i == 0 ? frontWritten_ : 0;  // at most the reply's size: its line feed is left
            if (from < reply.size()) parts[count++] = {const_cast<char*>(reply.data()) + from, reply.size() - from};
            parts[count++] = {const_cast<char*>(&lineFeed), 1};
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
            size_t left = pending_.front().size() + 1 - frontWritten_;
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
