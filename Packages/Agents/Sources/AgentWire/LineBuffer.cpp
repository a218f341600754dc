#include "AgentWire/LineBuffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
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
// Storage of at least this capacity is a mapping of its own rather than heap memory: freeing
// it gives every page back to the system at once, so a helper that relayed one large result
// returns to its idle size, and the heap never keeps a large block's pages.
constexpr size_t mappedFrom = keptCapacity;
// A line limit above this is not reserved for in one step.
constexpr size_t maxReserved = size_t(1) << 30;

size_t roundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// Fresh zero-filled storage of at least `capacity` bytes (rounded up in place), or nullptr.
char* mapStorage(size_t& capacity) {
#if defined(__APPLE__)
    capacity = roundUp(capacity, static_cast<size_t>(::getpagesize()));
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
#else
    // Whole huge pages at a huge-page boundary, advised as such: tens of MiB then cost a few
    // dozen page faults instead of thousands. The slack around the aligned range is unmapped.
    constexpr size_t huge = 2u << 20;
    capacity = roundUp(capacity, huge);
    const size_t reserved = capacity + huge;
    void* p = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = roundUp(start, huge);
    if (aligned > start) ::munmap(p, aligned - start);
    if (const size_t tail = start + reserved - (aligned + capacity); tail > 0) {
        ::munmap(reinterpret_cast<void*>(aligned + capacity), tail);
    }
    ::madvise(reinterpret_cast<void*>(aligned), capacity, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(aligned);
#endif
}

// Storage for `capacity` bytes: heap memory when small, a mapping from `mappedFrom` on.
char* allocate(size_t& capacity) {
    char* bytes = capacity >= mappedFrom ? mapStorage(capacity) : static_cast<char*>(std::malloc(capacity));
    if (!bytes) throw std::bad_alloc();
    return bytes;
}

void release(char* bytes, size_t capacity) {
    if (!bytes) return;
    if (capacity >= mappedFrom) {
        ::munmap(bytes, capacity);
    } else {
        std::free(bytes);
    }
}

}  // namespace

LineBuffer::Line::Line(std::string_view bytes) {
    if (bytes.empty()) return;
    size_t capacity = bytes.size();
    bytes_ = allocate(capacity);
    std::memcpy(bytes_, bytes.data(), bytes.size());
    size_ = bytes.size();
    capacity_ = capacity;
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

LineBuffer::Line::~Line() { release(bytes_, capacity_); }

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
        if (capacity < mappedFrom) {
            void* bigger = std::realloc(p.bytes_, capacity);
            if (!bigger) throw std::bad_alloc();
            p.bytes_ = static_cast<char*>(bigger);
        } else {
            // Past the heap's share, room for the longest line at once: a large result is then
            // read into one mapping and never copied to grow. Untouched pages cost nothing.
            if (maxLine_ <= maxReserved - count && maxLine_ + count > capacity) capacity = maxLine_ + count;
            char* bigger = allocate(capacity);
            if (p.size_ > 0) std::memcpy(bigger, p.bytes_, p.size_);
            release(p.bytes_, p.capacity_);
            p.bytes_ = bigger;
        }
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
