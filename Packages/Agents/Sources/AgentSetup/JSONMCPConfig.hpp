#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "AgentSetup/JSONTextEdit.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// Reads and edits agent apps' JSON and JSONC configuration files, whose MCP servers live in
// one top-level object ("mcpServers", "servers", …). Pure: bytes in, a value or new bytes
// out; never touches disk. An existing file is edited in place (only the server's entry
// changes); a missing or blank one is written whole.
namespace JSONMCPConfig {

using Problem = JSONTextEdit::Problem;

// How one app keeps its servers.
struct Format {
    std::string_view serversKey = "mcpServers";
    JSONTextEdit::Syntax syntax;
    // An emptied servers object stays in a file made for MCP servers; a general settings file
    // loses it again.
    bool keepsEmptyServers = true;
    friend bool operator==(const Format&, const Format&) = default;
};

// The file read once for `server`'s entry (`bytes` none when there is no file); a Problem
// when it isn't a JSON object in the app's syntax.
std::variant<JSONTextEdit, Problem> read(const std::optional<std::string>& bytes, const Format& format,
                                         std::string_view server);

// The entry registered under `server` (`bytes` none when there is no file); none when there
// is no such entry or the servers member isn't an object. A Problem only when the file isn't
// a JSON object in the app's syntax.
std::variant<std::optional<AgentWire::JSON>, Problem> entry(const std::optional<std::string>& bytes,
                                                            const Format& format, std::string_view server);

// The whole new file with the servers object's `server` set to `entry`. A new file is the
// pretty-printed document with sorted keys and one final line feed.
std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, const Format& format,
                                          std::string_view server, const AgentWire::JSON& entry);
std::variant<std::string, Problem> merged(const JSONTextEdit& file, const Format& format, std::string_view server,
                                          const AgentWire::JSON& entry);

// The whole new file without `server`'s entry; the bytes unchanged when there is none.
std::variant<std::string, Problem> removed(const std::string& bytes, const Format& format, std::string_view server);
std::variant<std::string, Problem> removed(const JSONTextEdit& file, const Format& format);

// {serversKey: {server: entry}} in the layout of a new file, without a final line feed.
std::string snippet(const Format& format, std::string_view server, const AgentWire::JSON& entry);

}  // namespace JSONMCPConfig

}  // namespace AgentSetup
