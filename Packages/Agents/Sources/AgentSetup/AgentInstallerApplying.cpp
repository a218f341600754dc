#include "AgentSetup/AgentInstaller.hpp"
#include "AgentSetup/AtomicFile.hpp"

namespace AgentSetup {

std::variant<AgentInstallResult, AgentInstallError> AgentInstaller::apply(const AgentPlan& plan) const {
    // What runs killed before their rename left beside the file; done even when nothing changes.
    AtomicFile::removeStaleTemporaries(plan.configPath);
    if (plan.change.kind == AgentPlan::Change::Kind::unchanged)
        return AgentInstallResult{plan.app, plan.change, plan.configPath, std::nullopt};

    if (plan.method.kind == AgentPlan::Method::Kind::editFile) {
        // The plan's new file was merged from `original`; writing it over anything else would
        // throw away what another program saved in between.
        if (read(plan.configPath).bytes != plan.original) return AgentInstallError::changedSinceShown(plan.configPath);
    }

    // The name shown may have been taken since; the copy then takes the next free one.
    std::optional<std::string> backupPath;
    if (plan.original && plan.backupPath) {
        auto copied = AtomicFile::copy(plan.configPath, *plan.backupPath);
        if (auto* failure = std::get_if<AtomicFile::Failure>(&copied))
            return AgentInstallError::backupFailed(plan.configPath, failure->reason);
        backupPath = std::get<std::string>(std::move(copied));
    }

    if (plan.method.kind == AgentPlan::Method::Kind::command) {
        if (auto error = runClaude(plan.method.executable, plan)) return *error;
    } else {
        // Only where there was a file is there an original to speak of.
        auto failed = [&plan](std::string why) {
            return plan.original ? AgentInstallError::writeFailed(plan.configPath, std::move(why))
                                 : AgentInstallError::createFailed(plan.configPath, std::move(why));
        };
        if (!plan.result) return failed("nothing to write");
        if (auto failure = AtomicFile::write(*plan.result, plan.configPath)) return failed(failure->reason);
    }

    auto current = currentCommand(plan.app);
    auto* registered = std::get_if<std::optional<std::string>>(&current);
    if (!registered || *registered != plan.helperPath) return AgentInstallError::notApplied(plan.configPath);

    return AgentInstallResult{plan.app, plan.change, plan.configPath, backupPath};
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
