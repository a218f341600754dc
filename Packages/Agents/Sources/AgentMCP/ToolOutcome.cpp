#include "AgentMCP/ToolOutcome.hpp"

namespace AgentMCP {

ToolOutcome ToolOutcome::error(const std::string& text) {
    using AgentWire::JSON;
    return ToolOutcome{{JSON::object({{"type", "text"}, {"text", text}})}, true};
}

}  // namespace AgentMCP
