#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Constants of the agent socket shared by the helper and the browser.
namespace AgentWire {

// Wire version carried by hello.
inline constexpr int64_t version = 1;
// Largest call line the side that reads calls accepts (the helper sends calls unchecked).
inline constexpr size_t maxCallBytes = 1'048'576;
// Largest line the helper accepts from the browser, line feed not counted.
inline constexpr size_t maxResultBytes = 50'331'648;
// Environment variable that overrides the socket path.
inline constexpr std::string_view socketEnvironmentKey = "BOSKEN_AGENT_SOCKET";

// The agent socket's path under the home directory `home` (a path text, with or without a
// trailing slash): <home>/Library/Application Support/Bosken/Agents/agent.sock.
std::string defaultSocketPath(std::string_view home);

}  // namespace AgentWire
