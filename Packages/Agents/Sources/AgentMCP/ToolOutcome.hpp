#pragma once

#include <string>
#include <vector>

#include "AgentWire/JSON.hpp"

namespace AgentMCP {

// The content items and error flag of one tool call, as the MCP client sees them.
struct ToolOutcome {
    std::vector<AgentWire::JSON> content;
    bool isError = false;

    // One text item with `text`, flagged as an error.
    static ToolOutcome error(const std::string& text);

    friend bool operator==(const ToolOutcome&, const ToolOutcome&) = default;
};

}  // namespace AgentMCP
