#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// Reads and rewrites agent apps' JSON configuration files, whose MCP servers live in the
// top-level "mcpServers" object. Pure: bytes in, a value or new bytes out; never touches disk.
// Numbers in the file keep their written form through a merge.
namespace JSONMCPConfig {

// What is wrong with the file: a clause in which "it" is the file, without a capital or a full
// stop. `isLayout` is false when the file cannot be read as a JSON object, true when it is
// valid JSON arranged in a way the merge refuses to touch.
struct Problem {
    std::string message;
    bool isLayout = false;
    friend bool operator==(const Problem&, const Problem&) = default;
};

// The "command" text registered under `server` in the file (`bytes` none when there is no
// file); none when the file has no such entry or it is shaped otherwise. A Problem only when
// the file is not a JSON object.
std::variant<std::optional<std::string>, Problem> command(const std::optional<std::string>& bytes,
                                                          std::string_view server);

// The whole new file: the file's document with "mcpServers"[server] set to `entry` (an
// object, replacing any old entry whole), pretty-printed with sorted keys and ending in one
// line feed. Every other member keeps its value.
std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, std::string_view server,
                                          const AgentWire::JSON& entry);

// {"mcpServers": {server: entry}} in the same layout as `merged`, without a final line feed.
std::string snippet(std::string_view server, const AgentWire::JSON& entry);

}  // namespace JSONMCPConfig

}  // namespace AgentSetup
