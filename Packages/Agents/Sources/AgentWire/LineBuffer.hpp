#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace AgentWire {

// Turns the chunks a socket read returns into complete lines (the bytes between line feeds),
// refusing any line longer than `maxLine` so a peer that never ends a line cannot make the
// reader grow without bound. Empty lines are skipped; only 0x0A ends a line. Small storage
// is reused across lines; large storage is a mapping of its own, given back to the system
// as soon as the line holding it is destroyed.
class LineBuffer {
public:
    // A line (or any pending bytes) longer than `maxLine`. The buffer is unusable afterwards.
    struct LineTooLong {
        friend bool operator==(const LineTooLong&, const LineTooLong&) = default;
    };

    // The bytes of one complete line, without its line feed. Owns its storage, so a long
    // line leaves the buffer by a move rather than a copy.
    class Line {
    public:
        Line() = default;
        explicit Line(std::string_view bytes);
        Line(const Line& other) : Line(other.view()) {}
        Line(Line&& other) noexcept;
        Line& operator=(Line other) noexcept;
        ~Line();

        const char* data() const { return bytes_; }
        size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        std::string_view view() const { return {bytes_ ? bytes_ : "", size_}; }
        operator std::string_view() const { return view(); }
        std::string str() const { return std::string(view()); }

        friend bool operator==(const Line& a, std::string_view b) { return a.view() == b; }
        friend bool operator==(const Line& a, const Line& b) { return a.view() == b.view(); }

    private:
        friend class LineBuffer;
        char* bytes_ = nullptr;
        size_t size_ = 0;
        size_t capacity_ = 0;
    };

    using Lines = std::vector<Line>;

    explicit LineBuffer(size_t maxLine);

    size_t maxLine() const { return maxLine_; }
    // Bytes received that do not yet end in a line feed.
    size_t pendingSize() const { return pending_.size_ - start_; }

    // Adds `bytes` and returns the lines now complete, in arrival order.
    std::variant<Lines, LineTooLong> append(std::string_view bytes);

    // For readers that fill the buffer in place: room for at least `count` bytes after the
    // pending ones. Write up to `count` bytes there, then call `commit` with how many.
    char* prepare(size_t count);
    // Takes `count` bytes written at `prepare`'s pointer, as `append` would take them.
    std::variant<Lines, LineTooLong> commit(size_t count);

private:
    size_t maxLine_;
    Line pending_;       // bytes [start_, size) are pending
    size_t start_ = 0;   // first byte not yet handed out as a line
    size_t scanned_ = 0; // bytes before this offset hold no line feed
};

}  // namespace AgentWire
