#pragma once

#include <string>

namespace AgentMCP {

// The MCP session agreed in "initialize"; carried across a re-execution by the resume record.
struct MCPSession {
    std::string protocolVersion;
    std::string clientName;
    std::string clientVersion;
    bool initialized = false;

    friend bool operator==(const MCPSession&, const MCPSession&) = default;
};

}  // namespace AgentMCP
