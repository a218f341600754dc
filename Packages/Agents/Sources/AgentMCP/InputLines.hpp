#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace AgentMCP {

// Splits the MCP client's byte stream into lines, and can give back at any moment every input
// byte read and not yet taken, so a re-executed helper can start from exactly there. A line
// longer than the limit is never held: it is reported once and skipped up to its line feed.
class InputLines {
public:
    // One item of the input: a line without its terminator (LF or CR LF), or the report of a
    // line over the limit, whose bytes are gone.
    struct Line {
        std::string text;
        bool tooLong = false;
    };

    // A reader on `fd` whose first bytes are `pending`. Never closes `fd`.
    InputLines(int fd, std::string pending, size_t maxLine);

    // Reads once, without waiting when poll said `fd` is readable. False once the input ended
    // (end of file or a read error).
    bool read();

    // The next non-empty line among the bytes read, or nothing until more is read; at the end
    // of input a last line without a line feed is taken too.
    std::optional<Line> next();

    int fd() const { return fd_; }
    bool atEnd() const { return atEnd_; }
    // The rest of a line over the limit is being dropped.
    bool skipping() const { return skipping_; }

    // The bytes read and not yet taken as lines.
    std::string unhandled() const { return buffer_.substr(start_); }

private:
    int fd_;
    size_t maxLine_;
    std::string buffer_;
    size_t start_ = 0;    // bytes before this offset in buffer_ are already taken
    size_t scanned_ = 0;  // no line feed in buffer_[start_, scanned_)
    bool atEnd_ = false;
    bool skipping_ = false;
};

}  // namespace AgentMCP
