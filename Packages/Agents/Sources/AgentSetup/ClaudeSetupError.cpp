#include "AgentSetup/ClaudeSetupError.hpp"

namespace AgentSetup {

std::string ClaudeSetupError::message() const {
    switch (kind) {
        case Kind::notInstalled:
            return "Move Bosken to Applications and open it from there first: Claude Code would start the helper at " +
                   detail + ".";
        case Kind::unreadableConfig:
            return "Claude Code's settings at " + detail + " aren't valid JSON, so Bosken left them alone.";
        case Kind::claudeFailed:
            // The payload already ends as a sentence (or with the status sentence).
            return "Claude Code couldn't add Bosken: " + detail;
        case Kind::writeFailed:
            return "Couldn't save Claude Code's settings: " + detail;
        case Kind::notApplied:
            return "Claude Code's settings changed, but Bosken isn't in them. Try again.";
    }
    return {};
}

}  // namespace AgentSetup
