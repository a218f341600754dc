#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace AgentSetup {

// Cuts a TOML file, given as lines without their LF (a final CR may remain), into statements
// of whole lines, without building a document: enough to find and replace single lines while
// every other byte stays. Tolerant of what cannot damage a file (key characters, values),
// strict where a guess could: a line it cannot place makes the whole file unreadable.
namespace TOMLLexer {

struct Statement {
    // A table header: its dotted key; `isArray` for "[[…]]".
    struct Header {
        std::vector<std::string> path;
        bool isArray = false;
        friend bool operator==(const Header&, const Header&) = default;
    };
    // A key/value pair: the dotted key before "=".
    struct Pair {
        std::vector<std::string> keyPath;
        friend bool operator==(const Pair&, const Pair&) = default;
    };
    // A blank or comment line.
    struct Other {
        friend bool operator==(const Other&, const Other&) = default;
    };
    using Kind = std::variant<Header, Pair, Other>;

    // Half-open range of line indices.
    struct Lines {
        size_t first = 0;
        size_t end = 0;
        friend bool operator==(const Lines&, const Lines&) = default;
    };

    Kind kind;
    Lines lines;

    friend bool operator==(const Statement&, const Statement&) = default;
};

// Statements covering every line in order; none when any line cannot be placed (a bad header,
// no "=", a bad key, a value still open at the end of the file).
std::optional<std::vector<Statement>> statements(const std::vector<std::string>& lines);

// The text of the quoted string value on one line ("k = \"v\" # note" gives v); none for any
// other value, an unclosed string or invalid UTF-8.
std::optional<std::string> value(std::string_view line);

// The segments of a dotted key; none for an empty bare segment or an unclosed quote.
std::optional<std::vector<std::string>> keyPath(std::string_view key);

// The bytes without spaces, tabs and CRs at either end.
std::string_view trimmed(std::string_view bytes);

// Position of the first "=" outside quotes, or none.
std::optional<size_t> firstEquals(std::string_view bytes);

// A trimmed line starting with "[" read as a table header, or none when it is not a valid one.
std::optional<Statement::Header> header(std::string_view trimmedLine);

// Index of the line on which the value starting on `line` at `column` ends (arrays, inline
// tables and multi-line strings may continue over later lines); none when it never ends.
std::optional<size_t> valueEnd(const std::vector<std::string>& lines, size_t line, size_t column);

}  // namespace TOMLLexer

}  // namespace AgentSetup
