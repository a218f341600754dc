#include "AgentMCP/InputLines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace AgentMCP {

namespace {

constexpr size_t readChunk = 65536;
// A partial line past this size gets room for the longest line at once, so growing it never
// holds an old and a new copy together (the pages are taken only as bytes arrive).
constexpr size_t growAtOnce = 1u << 20;

}  // namespace

InputLines::InputLines(int fd, std::string pending, size_t maxLine)
    : fd_(fd), maxLine_(maxLine), buffer_(std::move(pending)) {}

bool InputLines::read() {
    if (atEnd_) return false;
    // Taken bytes are dropped lazily so that many small lines cost no repeated shifting.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() + readChunk > buffer_.capacity() && buffer_.size() >= growAtOnce) {
        buffer_.reserve(maxLine_ + 2 * readChunk);
    }
    char scratch[readChunk];
    while (true) {
        ssize_t n = ::read(fd_, scratch, sizeof scratch);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) {
            atEnd_ = true;  // a read error ends the input like the end of file
            return false;
        }
        buffer_.append(scratch, static_cast<size_t>(n));
        return true;
    }
}

std::optional<InputLines::Line> InputLines::next() {
    while (true) {
        const char* base = buffer_.data();
        const void* nl = std::memchr(base + scanned_, '\n', buffer_.size() - scanned_);
        if (!nl) {
            scanned_ = buffer_.size();
            size_t partial = buffer_.size() - start_;
            if (skipping_ || partial > maxLine_) {
                // Nothing of an overlong line is kept; it is reported once, when first seen.
                bool first = !skipping_;
                skipping_ = !atEnd_;
                buffer_ = std::string();
                start_ = scanned_ = 0;
                if (first) return Line{{}, true};
                return std::nullopt;
            }
            if (!atEnd_ || partial == 0) return std::nullopt;
            Line last{buffer_.substr(start_), false};
            buffer_.clear();
            start_ = scanned_ = 0;
            return last;
        }
        size_t end = static_cast<size_t>(static_cast<const char*>(nl) - base);
        size_t from = start_;
        start_ = scanned_ = end + 1;
        if (skipping_) {
            skipping_ = false;
            continue;
        }
        if (end - from > maxLine_) return Line{{}, true};
        size_t lineEnd = end;
        if (lineEnd > from && base[lineEnd - 1] == '\r') --lineEnd;
        if (lineEnd == from) continue;
        return Line{std::string(base + from, lineEnd - from), false};
    }
}

}  // namespace AgentMCP
