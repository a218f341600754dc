#pragma once

#include <optional>
#include <string>

namespace AgentMCP {

// Splits the MCP client's byte stream into lines, and can give back at any moment every input
// byte not yet finished with (the line being handled and everything read ahead), so a
// re-executed helper can start from exactly there.
class InputLines {
public:
    // A reader on `fd` whose first bytes are `pending`. Does no input/output; never closes `fd`.
    InputLines(int fd, std::string pending);

    // The next non-empty line without its terminator (LF or CR LF); nothing at the end of input.
    // Blocks in read while it needs more input.
    std::optional<std::string> next();

    // The current line, a line feed and the buffered bytes; or the buffered bytes alone.
    std::string unhandled() const;

    // The line most recently returned by next(), while it is being handled.
    const std::optional<std::string>& current() const { return current_; }

private:
    void fill();

    int fd_;
    std::string buffer_;
    size_t start_ = 0;  // bytes before this offset in buffer_ are already taken
    size_t scanned_ = 0;  // no line feed in buffer_[start_, scanned_)
    bool atEnd_ = false;
    std::optional<std::string> current_;
};

}  // namespace AgentMCP
