#pragma once

// Runs one call on an App link to its end, polling the link as the serve loop does.

#include <poll.h>

#include <chrono>
#include <string>

#include "AgentMCP/AppLink.hpp"

namespace TestSupport {

// Advances `step`'s call until it ends: with an outcome, a reply of the fast road, or neither
// (a cancelled call).
inline AgentMCP::AppLink::Step runToEnd(AgentMCP::AppLink& link, AgentMCP::AppLink::Step step) {
    while (!step.outcome && !step.reply && link.busy()) {
        int timeout = -1;
        if (auto deadline = link.deadline()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            timeout = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        pollfd p{link.fd(), link.events(), 0};
        ::poll(&p, 1, timeout);
        step = link.advance(p.revents);
    }
    return step;
}

inline AgentMCP::ToolOutcome runCall(AgentMCP::AppLink& link, const std::string& tool, const AgentWire::JSON& arguments) {
    AgentMCP::AppLink::Step step = runToEnd(link, link.start(tool, arguments));
    if (!step.outcome) return AgentMCP::ToolOutcome::error("<ended without an outcome>");
    return *step.outcome;
}

}  // namespace TestSupport
