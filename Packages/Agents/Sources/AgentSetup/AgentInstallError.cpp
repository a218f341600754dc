#include "AgentSetup/AgentInstallError.hpp"

namespace AgentSetup {

std::string AgentInstallError::message() const {
    switch (kind) {
        case Kind::notInstalled:
            return "Move Bosken to Applications and open it from there first: an agent would start the helper at " +
                   path + ".";
        case Kind::unreadableConfig:
        case Kind::unsupportedLayout:
            return path + " wasn't changed: " + why + ".";
        case Kind::changedSinceShown:
            return path + " changed since it was checked, so nothing was written. Try again.";
        case Kind::backupFailed:
            return path + " wasn't changed: couldn't make a backup first (" + why + ").";
        case Kind::writeFailed:
            return "Couldn't save " + path + ": " + why + ". The original is untouched.";
        case Kind::commandFailed:
            return "The command failed: " + why;
        case Kind::notApplied:
            return path + " was written, but Bosken isn't in it when read back. Add it by hand.";
        case Kind::notRemoved:
            return path + " was written, but Bosken is still in it when read back. Remove it by hand.";
    }
    return {};
}

}  // namespace AgentSetup
