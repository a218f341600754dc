#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "AgentSetup/TOMLLexer.hpp"

namespace AgentSetup {

// Registers a server in a TOML file (Codex's config.toml) as the table [mcp_servers.<server>]
// with "command" and an empty "args", editing whole lines in place: every other line keeps
// every byte. Refuses whenever the server is described in a way line edits can't change safely.
namespace TOMLMCPConfig {

// What is wrong with the file: a clause in which "it" is the file, without a capital or a full
// stop. `isLayout` is false when it isn't readable TOML, true when it is arranged in a way the
// merge refuses to edit.
struct Problem {
    std::string message;
    bool isLayout = false;
    friend bool operator==(const Problem&, const Problem&) = default;
};

// Where the server's table and its "command" and "args" pairs are.
struct Located {
    std::optional<size_t> header;  // line of [mcp_servers.<server>]
    std::optional<TOMLLexer::Statement> command;
    std::optional<TOMLLexer::Statement> args;
    std::optional<TOMLLexer::Statement> enabled;
    friend bool operator==(const Located&, const Located&) = default;
};

// The bytes cut at every LF (a CR before it stays in the line); a final empty piece dropped.
std::vector<std::string> split(std::string_view bytes);

// Each line without one trailing CR, followed by `eol`.
std::string join(const std::vector<std::string>& lines, std::string_view eol);

// Finds the server's table and its "command" and "args" pairs; a Problem when the file can't be
// read or defines the server some other way (array of tables, two tables, inline, dotted keys).
std::variant<Located, Problem> locate(const std::vector<std::string>& lines, std::string_view server);

// Whether the pair on `line` sets its key to false ("enabled = false # note").
bool isFalse(std::string_view line);

// The text as a TOML basic string, quotes included.
std::string quoted(std::string_view text);

// The server's table as a new file holds it: header, command and empty args, each line ending in LF.
std::string table(std::string_view server, std::string_view helper);

// A file read once for one server: what merging and removing work from.
struct Document {
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<TOMLLexer::Statement> statements;
    Located located;
};

// The file cut into lines and statements, and the server's table found in it; a Problem as
// for locate().
std::variant<Document, Problem> read(std::string_view bytes, std::string_view server);

// The whole new file with the server's command set to `helper` and its args to [] (`bytes`
// none when there is no file), an "enabled = false" turned to true. CR LF files stay CR LF.
std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, std::string_view server,
                                          std::string_view helper);
std::variant<std::string, Problem> merged(Document document, std::string_view server, std::string_view helper);

// The file without the server's table and its sub-tables ([mcp_servers.<server>.env], …): their
// lines go, with one blank line that separated them; every other line keeps every byte.
struct Removal {
    std::string result;
    // The lines taken out, each ending in a line feed.
    std::string removedLines;
    friend bool operator==(const Removal&, const Removal&) = default;
};
std::variant<Removal, Problem> removed(std::string_view bytes, std::string_view server);
Removal removed(Document document, std::string_view server);

}  // namespace TOMLMCPConfig

}  // namespace AgentSetup
