#include <string>

#include "AgentSetup/AgentInstaller.hpp"
#include "AgentSetup/AtomicFile.hpp"
#include "AgentSetup/ClaudeConfigFile.hpp"
#include "AgentSetup/JSONMCPConfig.hpp"
#include "AgentSetup/TOMLLexer.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"

namespace AgentSetup {

namespace {

const std::string server(AgentInstaller::serverName);

template <typename Problem>
AgentInstallError installError(const Problem& problem, const std::string& path) {
    return problem.isLayout ? AgentInstallError::unsupportedLayout(path, problem.message)
                            : AgentInstallError::unreadableConfig(path, problem.message);
}

std::string tomlPreview(const std::string& helperPath) {
    return "[mcp_servers." + server + "]\ncommand = " + TOMLMCPConfig::quoted(helperPath) + "\nargs = []\n";
}

}  // namespace

std::variant<AgentPlan, AgentInstallError> AgentInstaller::makePlan(const AgentApp& app,
                                                                     const std::string& helperPath) const {
    if (!ClaudeCodeSetup::isInstalled(helperPath)) return AgentInstallError::notInstalled(helperPath);

    AgentPlan plan;
    plan.app = app;
    plan.helperPath = helperPath;
    plan.configPath = resolved(app.configURL);

    auto file = read(plan.configPath);
    if (file.unreadable) return AgentInstallError::unreadableConfig(plan.configPath, file.reason);
    plan.original = std::move(file.bytes);
    plan.createsFile = !plan.original.has_value();

    auto current = command(plan.original, app, plan.configPath);
    if (auto* error = std::get_if<AgentInstallError>(&current)) return *error;
    const auto& registered = std::get<std::optional<std::string>>(current);
    if (!registered) plan.change = AgentPlan::Change::add();
    else if (*registered == helperPath) plan.change = AgentPlan::Change::unchanged();
    else plan.change = AgentPlan::Change::replace(*registered);

    std::optional<std::string> claude;
    if (app.kind == AgentApp::Kind::claudeCode && findCommands) claude = CommandRunner::find("claude", environment, home);
    if (claude) {
        plan.method = AgentPlan::Method::command(*claude);
        plan.preview = "claude mcp add --scope user " + server + " -- " + ClaudeCodeSetup::shellQuoted(helperPath);
    } else {
        // Computed for unchanged plans too, so a file the merge can't handle fails here already.
        auto edited = edit(plan.original, app, helperPath, plan.configPath);
        if (auto* error = std::get_if<AgentInstallError>(&edited)) return *error;
        auto& made = std::get<Edit>(edited);
        plan.method = AgentPlan::Method::editFile();
        plan.result = std::move(made.result);
        plan.preview = std::move(made.preview);
    }

    if (!plan.createsFile && plan.change.kind != AgentPlan::Change::Kind::unchanged)
        plan.backupPath = AtomicFile::backupURL(app.configURL, now());
    plan.summary = summary(app, plan.change, plan.method, plan.configPath, plan.backupPath);
    return plan;
}

ClaudeCodeSetup::Status AgentInstaller::status(const AgentApp& app, const std::string& helperPath) const {
    auto current = currentCommand(app);
    auto* registered = std::get_if<std::optional<std::string>>(&current);
    if (!registered || !*registered) return ClaudeCodeSetup::Status::notConnected();
    if (**registered == helperPath) return ClaudeCodeSetup::Status::connected();
    return ClaudeCodeSetup::Status::otherHelper(**registered);
}

std::variant<std::optional<std::string>, AgentInstallError> AgentInstaller::currentCommand(const AgentApp& app) const {
    auto path = resolved(app.configURL);
    return command(read(path).bytes, app, path);
}

std::variant<std::optional<std::string>, AgentInstallError> AgentInstaller::command(
    const std::optional<std::string>& bytes, const AgentApp& app, const std::string& path) {
    if (app.kind == AgentApp::Kind::codex) {
        if (!bytes) return std::optional<std::string>();
        auto lines = TOMLMCPConfig::split(*bytes);
        auto located = TOMLMCPConfig::locate(lines, server);
        if (auto* problem = std::get_if<TOMLMCPConfig::Problem>(&located)) return installError(*problem, path);
        const auto& statement = std::get<TOMLMCPConfig::Located>(located).command;
        if (!statement || statement->lines.first >= lines.size()) return std::optional<std::string>();
        return TOMLLexer::value(lines[statement->lines.first]);
    }
    auto found = JSONMCPConfig::command(bytes, server);
    if (auto* problem = std::get_if<JSONMCPConfig::Problem>(&found)) return installError(*problem, path);
    return std::get<std::optional<std::string>>(found);
}

std::variant<AgentInstaller::Edit, AgentInstallError> AgentInstaller::edit(const std::optional<std::string>& bytes,
                                                                          const AgentApp& app,
                                                                          const std::string& helperPath,
                                                                          const std::string& path) {
    if (app.kind == AgentApp::Kind::codex) {
        auto merged = TOMLMCPConfig::merged(bytes, server, helperPath);
        if (auto* problem = std::get_if<TOMLMCPConfig::Problem>(&merged)) return installError(*problem, path);
        return Edit{std::move(std::get<std::string>(merged)), tomlPreview(helperPath)};
    }
    auto entryObject = entry(app.kind, helperPath);
    auto merged = JSONMCPConfig::merged(bytes, server, entryObject);
    if (auto* problem = std::get_if<JSONMCPConfig::Problem>(&merged)) return installError(*problem, path);
    return Edit{std::move(std::get<std::string>(merged)), JSONMCPConfig::snippet(server, entryObject)};
}

AgentWire::JSON AgentInstaller::entry(AgentApp::Kind kind, const std::string& helperPath) {
    if (kind == AgentApp::Kind::claudeCode) return ClaudeConfigFile::entry(helperPath);
    return AgentWire::JSON::object({{"command", AgentWire::JSON(helperPath)}, {"args", AgentWire::JSON::array({})}});
}

std::string AgentInstaller::summary(const AgentApp& app, const AgentPlan::Change& change,
                                    const AgentPlan::Method& method, const std::string& configPath,
                                    const std::optional<std::string>& backupPath) {
    using ChangeKind = AgentPlan::Change::Kind;
    if (change.kind == ChangeKind::unchanged)
        return std::string(app.name()) + " already has Bosken in " + configPath + ". Nothing to change.";

    std::string text;
    if (method.kind == AgentPlan::Method::Kind::command) {
        text = "Runs the command below, which edits " + configPath + ".";
    } else if (backupPath) {
        std::string verb = change.kind == ChangeKind::add
                               ? "Adds"
                               : "Replaces the entry that starts " + change.previous + " with";
        text = verb + " the entry below in " + configPath + ", keeping everything else in it.";
    } else {
        text = "Creates " + configPath + " with the entry below.";
    }
    if (backupPath) text += " First copies the file to " + *backupPath + ".";
    return text;
}

}  // namespace AgentSetup
