#pragma once

// Runs one call on an App link to its end, polling the link as the serve loop does.

#include <poll.h>

#include <chrono>
#include <string>

#include "AgentMCP/AppLink.hpp"

namespace TestSupport {

inline AgentMCP::ToolOutcome runCall(AgentMCP::AppLink& link, const std::string& tool, const AgentWire::JSON& arguments) {
    AgentMCP::AppLink::Step step = link.start(tool, arguments);
    while (!step.outcome) {
        if (!link.busy()) return AgentMCP::ToolOutcome::error("<ended without an outcome>");
        int timeout = -1;
        if (auto deadline = link.deadline()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            timeout = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        pollfd p{link.fd(), link.events(), 0};
        ::poll(&p, 1, timeout);
        step = link.advance(p.revents);
    }
    return *step.outcome;
}

}  // namespace TestSupport
