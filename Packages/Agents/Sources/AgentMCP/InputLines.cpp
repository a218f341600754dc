#include "AgentMCP/InputLines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace AgentMCP {

InputLines::InputLines(int fd, std::string pending) : fd_(fd), buffer_(std::move(pending)) {}

std::optional<std::string> InputLines::next() {
    current_.reset();
    while (true) {
        // Taken bytes are dropped lazily so that many small lines cost no repeated shifting.
        if (start_ > 0 && start_ >= buffer_.size() / 2) {
            buffer_.erase(0, start_);
            scanned_ -= start_;
            start_ = 0;
        }
        const char* base = buffer_.data();
        const void* nl = std::memchr(base + scanned_, '\n', buffer_.size() - scanned_);
        if (nl) {
            size_t end = static_cast<size_t>(static_cast<const char*>(nl) - base);
            size_t lineEnd = end;
            if (lineEnd > start_ && base[lineEnd - 1] == '\r') --lineEnd;
            std::string line(base + start_, lineEnd - start_);
            start_ = end + 1;
            scanned_ = start_;
            if (line.empty()) continue;
            current_ = std::move(line);
            return current_;
        }
        scanned_ = buffer_.size();
        if (atEnd_) {
            if (start_ == buffer_.size()) {
                buffer_.clear();
                start_ = scanned_ = 0;
                return std::nullopt;
            }
            current_ = buffer_.substr(start_);
            buffer_.clear();
            start_ = scanned_ = 0;
            return current_;
        }
        fill();
    }
}

std::string InputLines::unhandled() const {
    std::string result;
    if (current_) {
        result.reserve(current_->size() + 1 + buffer_.size() - start_);
        result.append(*current_);
        result.push_back('\n');
    }
    result.append(buffer_, start_, std::string::npos);
    return result;
}

void InputLines::fill() {
    char scratch[65536];
    while (true) {
        ssize_t n = ::read(fd_, scratch, sizeof scratch);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            atEnd_ = true;  // a read error ends the input like the end of file
            return;
        }
        buffer_.append(scratch, static_cast<size_t>(n));
        return;
    }
}

}  // namespace AgentMCP
