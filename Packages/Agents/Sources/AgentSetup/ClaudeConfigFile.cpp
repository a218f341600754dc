#include "AgentSetup/ClaudeConfigFile.hpp"

namespace AgentSetup {

using AgentWire::JSON;

JSON ClaudeConfigFile::entry(const std::string& command) {
    return JSON::object({
        {"type", JSON("stdio")},
        {"command", JSON(command)},
        {"args", JSON(JSON::Array{})},
        {"env", JSON(JSON::Object{})},
    });
}

}  // namespace AgentSetup
