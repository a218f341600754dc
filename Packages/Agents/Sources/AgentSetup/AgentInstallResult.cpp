#include "AgentSetup/AgentInstallResult.hpp"

namespace AgentSetup {

std::string AgentInstallResult::message() const {
    const std::string name(app.name());
    const std::string backupNote = backupPath ? " The old file is saved at " + *backupPath + "." : "";
    const std::string restartNote(AgentApp::restartNote(app.kind));
    switch (change.kind) {
        case AgentPlan::Change::Kind::unchanged:
            return name + " already has Bosken (in " + configPath + "). Nothing was changed.";
        case AgentPlan::Change::Kind::add:
            return "Added Bosken to " + name + " in " + configPath + "." + backupNote + " " + restartNote;
        case AgentPlan::Change::Kind::replace:
            return "Pointed " + name + "'s Bosken at this copy in " + configPath + "; it started " + change.previous +
                   "." + backupNote + " " + restartNote;
    }
    return {};
}

}  // namespace AgentSetup
