#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AgentMCP/MCPSession.hpp"

namespace AgentMCP {

// What one copy of the helper hands to the next when it re-executes itself after an
// update; travels as one JSON text in the environment.
struct MCPResume {
    // The environment variable that carries the encoded record.
    static constexpr std::string_view environmentKey = "BOSKEN_MCP_RESUME";
    // The largest encoded text the relaunch guard puts into the environment.
    static constexpr size_t maxEncodedBytes = 262'144;
    // How many relaunch times a record keeps (the most recent ones).
    static constexpr size_t keptRelaunches = 8;
    // Linux takes no single environment string over 128 KiB, so there a longer record travels in
    // an inherited memory file, and the variable holds this prefix and the file's descriptor.
    static constexpr size_t maxEnvironmentBytes = 120 * 1024;
    static constexpr std::string_view descriptorPrefix = "fd:";

    // The session to resume; absent when the client had not sent "initialize" yet.
    std::optional<MCPSession> session;
    // Standard input read but not yet handled, to be read again first (any bytes).
    std::string input;
    // Absolute path of the executable as first launched.
    std::string executable;
    // Seconds since 1970 of the earlier re-executions, oldest first, at most 8.
    std::vector<double> relaunches;

    // A record; `relaunches` beyond the last 8 are dropped.
    MCPResume(std::optional<MCPSession> session, std::string input, std::string executable,
              std::vector<double> relaunches);

    // The record as compact JSON with sorted keys, the input in Base64.
    std::string encoded() const;

    // The record in `text`, or nothing when it is not a valid record of this format (any
    // malformed, truncated or hostile text is simply nothing).
    static std::optional<MCPResume> fromEncoded(std::string_view text);

    // The record carried by `environment` (in the variable, or in the memory file it names,
    // which is then closed), or nothing; the caller removes the variable.
    static std::optional<MCPResume> take(const std::map<std::string, std::string>& environment);

    friend bool operator==(const MCPResume&, const MCPResume&) = default;
};

}  // namespace AgentMCP
