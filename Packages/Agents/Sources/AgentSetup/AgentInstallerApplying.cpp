#include "AgentSetup/AgentInstaller.hpp"
#include "AgentSetup/AtomicFile.hpp"

namespace AgentSetup {

std::variant<AgentInstallResult, AgentInstallError> AgentInstaller::install(const AgentPlan& plan) const {
    if (plan.change.kind == AgentPlan::Change::Kind::unchanged)
        return AgentInstallResult{plan.app, plan.change, plan.configPath, std::nullopt};

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

    auto current = currentCommand(plan.app);
    auto* registered = std::get_if<std::optional<std::string>>(&current);
    if (!registered || *registered != plan.helperPath) return AgentInstallError::notApplied(plan.configPath);

    return AgentInstallResult{plan.app, plan.change, plan.configPath,
                              plan.original ? plan.backupPath : std::nullopt};
}

std::optional<AgentInstallError> AgentInstaller::runClaude(const std::string& executable, const AgentPlan& plan) const {
    auto commandEnvironment = environment;
    commandEnvironment["HOME"] = home;
    const std::string server(serverName);
    if (plan.change.kind == AgentPlan::Change::Kind::replace)
        runner.run(executable, {"mcp", "remove", "--scope", "user", server}, commandEnvironment);
    auto result =
        runner.run(executable, {"mcp", "add", "--scope", "user", server, "--", plan.helperPath}, commandEnvironment);
    if (result.status != 0) return AgentInstallError::commandFailed(result.message());
    return std::nullopt;
}

}  // namespace AgentSetup
