#include "AgentSetup/AgentInstaller.hpp"
#include "AgentSetup/AtomicFile.hpp"
#include "AgentSetup/JSONTextEdit.hpp"

namespace AgentSetup {

std::variant<AgentInstallResult, AgentInstallError> AgentInstaller::install(const AgentPlan& plan) const {
    if (!plan.change.changesFile()) return AgentInstallResult{plan.app, plan.change, plan.configPath, std::nullopt};
    const bool removes = plan.change.kind == AgentPlan::Change::Kind::remove;

    if (plan.method.kind == AgentPlan::Method::Kind::editFile) {
        // The plan's new file was merged from `original`; writing it over anything else would
        // throw away what another program saved in between.
        if (read(plan.configPath).bytes != plan.original) return AgentInstallError::changedSinceShown(plan.configPath);
    }

    if (plan.original && plan.backupPath) {
        if (auto failure = AtomicFile::copy(plan.configPath, *plan.backupPath))
            return AgentInstallError::backupFailed(plan.configPath, failure->reason);
    }

    if (plan.method.kind == AgentPlan::Method::Kind::command) {
        if (auto error = runClaude(plan.method.executable, plan)) return *error;
    } else {
        if (!plan.result) return AgentInstallError::writeFailed(plan.configPath, "nothing to write");
        if (auto failure = AtomicFile::write(*plan.result, plan.configPath))
            return AgentInstallError::writeFailed(plan.configPath, failure->reason);
    }

    // Read back as the app would: the entry (or its absence), and for an edited file the same
    // document as planned.
    auto written = read(plan.configPath).bytes;
    auto current = registration(written, plan.app, plan.configPath);
    auto* registered = std::get_if<std::optional<Registration>>(&current);
    bool applied = registered && (removes ? !registered->has_value()
                                          : registered->has_value() && (*registered)->command == plan.helperPath &&
                                                !(*registered)->isOff);
    if (applied && plan.method.kind == AgentPlan::Method::Kind::editFile && plan.app.kind != AgentApp::Kind::codex) {
        auto syntax = format(plan.app.kind).syntax;
        auto now = written ? JSONTextEdit::parsed(*written, syntax) : std::nullopt;
        applied = now && (now == JSONTextEdit::parsed(*plan.result, syntax));
    }
    if (!applied) return removes ? AgentInstallError::notRemoved(plan.configPath) : AgentInstallError::notApplied(plan.configPath);

    return AgentInstallResult{plan.app, plan.change, plan.configPath,
                              plan.original ? plan.backupPath : std::nullopt};
}

std::optional<AgentInstallError> AgentInstaller::runClaude(const std::string& executable, const AgentPlan& plan) const {
    auto commandEnvironment = environment;
    commandEnvironment["HOME"] = home;
    const std::string server(serverName);
    if (plan.change.kind == AgentPlan::Change::Kind::remove) {
        auto removed = runner.run(executable, {"mcp", "remove", "--scope", "user", server}, commandEnvironment);
        if (removed.status != 0) return AgentInstallError::commandFailed(removed.message());
        return std::nullopt;
    }
    if (plan.change.kind == AgentPlan::Change::Kind::replace)
        runner.run(executable, {"mcp", "remove", "--scope", "user", server}, commandEnvironment);
    auto result =
        runner.run(executable, {"mcp", "add", "--scope", "user", server, "--", plan.helperPath}, commandEnvironment);
    if (result.status != 0) return AgentInstallError::commandFailed(result.message());
    return std::nullopt;
}

}  // namespace AgentSetup
