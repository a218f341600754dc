#pragma once

#include <optional>
#include <string>

#include "AgentSetup/AgentApp.hpp"
#include "AgentSetup/AgentPlan.hpp"

namespace AgentSetup {

// A registration that was carried out (or found already in place).
struct AgentInstallResult {
    AgentApp app;
    AgentPlan::Change change;
    // The configuration file, symbolic links resolved.
    std::string configPath;
    // Where the previous file was copied; none when no backup was made.
    std::optional<std::string> backupPath;

    // The sentence for the user, with the backup and the app's restart note.
    std::string message() const;

    friend bool operator==(const AgentInstallResult&, const AgentInstallResult&) = default;
};

}  // namespace AgentSetup
