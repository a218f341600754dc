#include "AgentWire/LineBuffer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace AgentWire {

namespace {

// A complete line at least this long leaves by handing over the storage itself; shorter
// lines are copied so the buffer keeps its capacity for the next read.
constexpr size_t moveThreshold = 64 * 1024;
// Capacity kept across lines; a larger buffer is released once it is empty.
constexpr size_t keptCapacity = 1024 * 1024;

}  // namespace

LineBuffer::Line::Line(std::string_view bytes) {
    if (bytes.empty()) return;
    bytes_ = static_cast<char*>(std::malloc(bytes.size()));
    if (!bytes_) throw std::bad_alloc();
    std::memcpy(bytes_, bytes.data(), bytes.size());
    size_ = capacity_ = bytes.size();
}

LineBuffer::Line::Line(Line&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

LineBuffer::Line& LineBuffer::Line::operator=(Line other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
}

LineBuffer::Line::~Line() { std::free(bytes_); }

LineBuffer::LineBuffer(size_t maxLine) : maxLine_(maxLine) {}

std::variant<LineBuffer::Lines, LineBuffer::LineTooLong> LineBuffer::append(std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(prepare(bytes.size()), bytes.data(), bytes.size());
    return commit(bytes.size());
}

char* LineBuffer::prepare(size_t count) {
    Line& p = pending_;
    if (start_ > 0) {
        // Lines already handed out leave room at the front; only the partial line moves.
        size_t rest = p.size_ - start_;
        if (rest > 0) std::memmove(p.bytes_, p.bytes_ + start_, rest);
        p.size_ = rest;
        scanned_ -= start_;
        start_ = 0;
    }
    if (p.capacity_ - p.size_ < count) {
        size_t wanted = p.size_ + count;
        size_t grown = p.capacity_ * 2;
        size_t capacity = grown > wanted ? grown : wanted;
        // realloc can grow a large block in place or by remapping pages, without copying.
        void* bigger = std::realloc(p.bytes_, capacity);
        if (!bigger) throw std::bad_alloc();
        p.bytes_ = static_cast<char*>(bigger);
        p.capacity_ = capacity;
    }
    return p.bytes_ + p.size_;
}

std::variant<LineBuffer::Lines, LineBuffer::LineTooLong> LineBuffer::commit(size_t count) {
    Line& p = pending_;
    p.size_ += count;
    Lines lines;
    while (scanned_ < p.size_) {
        auto* found = static_cast<char*>(std::memchr(p.bytes_ + scanned_, '\n', p.size_ - scanned_));
        if (!found) break;
        size_t end = static_cast<size_t>(found - p.bytes_);
        size_t length = end - start_;
        if (length > maxLine_) return LineTooLong{};
        if (length >= moveThreshold && start_ == 0) {
            // Hand the storage over; whatever followed the line feed starts a new buffer.
            std::string_view rest(p.bytes_ + end + 1, p.size_ - end - 1);
            Line next(rest);
            Line line = std::move(p);
            line.size_ = length;
            p = std::move(next);
            lines.push_back(std::move(line));
            start_ = scanned_ = 0;
            continue;
        }
        if (length > 0) lines.emplace_back(std::string_view(p.bytes_ + start_, length));
        start_ = scanned_ = end + 1;
    }
    scanned_ = p.size_;
    if (p.size_ - start_ > maxLine_) return LineTooLong{};
    if (start_ == p.size_) {
        start_ = scanned_ = 0;
        p.size_ = 0;
        if (p.capacity_ > keptCapacity) p = Line();
    }
    return lines;
}

}  // namespace AgentWire
