#pragma once

#include <string>

#include "AgentMCP/ToolOutcome.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentMCP {

// Runs tool calls for the MCP server; the App link is the implementation in the helper.
class AgentToolRunner {
public:
    virtual ~AgentToolRunner() = default;
    // Told whenever a session is made or resumed.
    virtual void clientDidIntroduce(const std::string& name, const std::string& version) = 0;
    // Runs one call to its end; every failure is an outcome with isError true, never a throw.
    virtual ToolOutcome run(const std::string& tool, const AgentWire::JSON& arguments) = 0;
};

}  // namespace AgentMCP
