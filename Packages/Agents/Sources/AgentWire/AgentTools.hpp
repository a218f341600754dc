#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "AgentWire/JSON.hpp"

namespace AgentWire::AgentTools {

// The browser tools offered to agent apps, as the MCP client is told about them. The helper
// never checks calls against this catalogue: the browser's answer decides.

inline constexpr std::string_view openTab = "open_tab";
inline constexpr std::string_view listTabs = "list_agent_tabs";
inline constexpr std::string_view readPage = "read_page";
inline constexpr std::string_view screenshotTab = "screenshot_tab";
inline constexpr std::string_view click = "click";
inline constexpr std::string_view type = "type";
inline constexpr std::string_view closeTab = "close_tab";

// The text returned from "initialize".
extern const std::string_view instructions;

// The seven MCP tool definitions for "tools/list", in catalogue order; built once.
const std::vector<JSON>& definitions();

// The names found in `definitions()`, in order.
std::vector<std::string> names();

}  // namespace AgentWire::AgentTools
