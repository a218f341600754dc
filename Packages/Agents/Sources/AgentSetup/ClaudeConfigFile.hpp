#pragma once

#include <string>

#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// Claude Code's user settings file.
class ClaudeConfigFile {
public:
    // A Claude Code stdio server entry: {"type": "stdio", "command": command, "args": [], "env": {}}.
    static AgentWire::JSON entry(const std::string& command);
};

}  // namespace AgentSetup
