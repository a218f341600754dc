#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "AgentMCP/AgentToolRunner.hpp"
#include "AgentMCP/MCPSession.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentMCP {

// The MCP (JSON-RPC 2.0) server: one line in, at most one serialized reply out. It does no
// input/output itself; tool calls go to the runner.
class MCPServer {
public:
    // The protocol versions agreed in "initialize", newest first; the 2026-07-28 revision has no
    // "initialize" and is served per message (MCPEra).
    static constexpr std::array<std::string_view, 4> protocolVersions = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                                         "2024-11-05"};
    static constexpr std::string_view serverName = "bosken";

    MCPServer(std::shared_ptr<AgentToolRunner> runner, std::string version);

    // Takes `session` as the server's own and introduces its client to the runner.
    void resume(const MCPSession& session);

    // The serialized reply to one line (no line terminator), or nothing when none is due.
    std::optional<std::string> handle(std::string_view line);

    // The reply to one parsed message, or nothing.
    std::optional<AgentWire::JSON> handleMessage(const AgentWire::JSON& message);

    // A JSON-RPC error response.
    static AgentWire::JSON error(const AgentWire::JSON& id, int code, std::string_view message);

    const std::optional<MCPSession>& session() const { return session_; }
    const std::string& version() const { return version_; }

private:
    AgentWire::JSON initialize(const AgentWire::JSON& params);

    std::shared_ptr<AgentToolRunner> runner_;
    std::string version_;
    std::optional<MCPSession> session_;
};

}  // namespace AgentMCP
