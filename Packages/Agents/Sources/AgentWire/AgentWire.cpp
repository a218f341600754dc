#include "AgentWire/AgentWire.hpp"

namespace AgentWire {

std::string defaultSocketPath(std::string_view home) {
    constexpr std::string_view relative = "Library/Application Support/Bosken/Agents/agent.sock";
    // Like appending a path component to a directory URL: one separator, however the home
    // text ends; the root stays "/".
    while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
    std::string path(home);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(relative);
    return path;
}

}  // namespace AgentWire
