#include "AgentSetup/AgentInstallResult.hpp"

namespace AgentSetup {

std::string AgentInstallResult::message() const {
    const std::string name(app.name());
    const std::string backupNote = backupPath ? " The old file is saved at " + *backupPath + "." : "";
    const std::string restartNote(AgentApp::restartNote(app.kind));
    switch (change.kind) {
        case AgentPlan::Change::Kind::unchanged:
            if (change.enables)
                return "Turned Bosken back on in " + name + " in " + configPath + "." + backupNote + " " + restartNote;
            return name + " already has Bosken (in " + configPath + "). Nothing was changed.";
        case AgentPlan::Change::Kind::add:
            return "Added Bosken to " + name + " in " + configPath + "." + backupNote + " " + restartNote;
        case AgentPlan::Change::Kind::replace:
            return "Pointed " + name + "'s Bosken at this copy in " + configPath +
                   (change.enables ? " and turned it back on" : "") + "; it started " + change.previous + "." +
                   backupNote + " " + restartNote;
        case AgentPlan::Change::Kind::remove:
            return "Removed Bosken from " + name + " in " + configPath + "." + backupNote + " " +
                   AgentApp::removalNote(app.kind);
        case AgentPlan::Change::Kind::absent:
            return name + " has no Bosken (in " + configPath + "). Nothing was removed.";
    }
    return {};
}

}  // namespace AgentSetup
