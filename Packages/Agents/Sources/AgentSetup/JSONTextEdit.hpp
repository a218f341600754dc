#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// One member of one object in a JSON or JSONC file, changed in the file's text: setting or
// removing it splices only that member's text (and one comma), so every other byte stays:
// key order, indentation, escapes, number spellings, comments, a BOM, the final newline. New
// text takes the file's own indent unit, line ending and spacing.
class JSONTextEdit {
public:
    // What the app's own reader accepts beyond strict JSON.
    struct Syntax {
        bool comments = false;        // "//" and "/* */"
        bool trailingCommas = false;  // a comma before "}" or "]"
        friend bool operator==(const Syntax&, const Syntax&) = default;
    };

    // What is wrong with the file: a clause in which "it" is the file, without a capital or a
    // full stop. `isLayout` is false when the file can't be read, true when it is valid but
    // arranged in a way the edit refuses to touch.
    struct Problem {
        std::string message;
        bool isLayout = false;
        friend bool operator==(const Problem&, const Problem&) = default;
    };

    // Where a member sits: offsets into the file's bytes.
    struct Member {
        std::string key;
        size_t keyStart = 0, keyEnd = 0, valueStart = 0, valueEnd = 0;
        std::optional<size_t> comma;  // the comma after the value, if any
    };
    struct Object {
        size_t open = 0, close = 0;  // the braces
        std::vector<Member> members;
    };

    // Reads `bytes` for editing `objectKey`[`memberKey`] (e.g. "mcpServers", "bosken"). A
    // Problem when the bytes aren't a JSON object in `syntax`; a blank file reads as none.
    static std::variant<JSONTextEdit, Problem> read(std::string_view bytes, Syntax syntax, std::string_view objectKey,
                                                    std::string_view memberKey);

    // The whole document with exact numbers; none when the bytes aren't JSON in `syntax`.
    static std::optional<AgentWire::JSON> parsed(std::string_view bytes, Syntax syntax);

    // The text as strict JSON of the same length: a BOM, comments and (where allowed)
    // trailing commas turned into spaces; none when a comment is unfinished.
    static std::optional<std::string> strictText(std::string_view bytes, Syntax syntax);

    // The member's value now; none when there is none (or `objectKey` isn't an object).
    const std::optional<AgentWire::JSON>& member() const { return member_; }
    // Whether the file is blank (and a new file would be written whole).
    bool isBlank() const { return blank_; }

    // The new bytes with the member set to `value` (inserted last when absent, the object
    // created last in the root when absent). A Problem for a layout the edit refuses.
    std::variant<std::string, Problem> set(const AgentWire::JSON& value) const;

    // The new bytes without the member; the bytes unchanged when there is none. An object left
    // empty collapses to "{}", or, with `dropEmptyObject`, leaves the root with its member.
    std::variant<std::string, Problem> removed(bool dropEmptyObject) const;

private:
    struct Style {
        std::string eol = "\n", unit = "  ", colon = ": ", comma = " ";
    };

    std::string bytes_;
    std::string strict_;
    std::string objectKey_, memberKey_;
    bool blank_ = false;
    Object root_;
    std::optional<size_t> objectIndex_;  // the root member holding the object
    std::optional<Object> object_;       // when that member's value is an object
    std::optional<size_t> memberIndex_;
    std::optional<AgentWire::JSON> member_;
    std::optional<Problem> layoutProblem_;
    Syntax syntax_;

    Style style() const;
};

}  // namespace AgentSetup
