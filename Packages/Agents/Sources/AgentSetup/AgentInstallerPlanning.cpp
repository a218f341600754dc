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

    auto reading = document(plan.original, app, plan.configPath);
    if (auto* error = std::get_if<AgentInstallError>(&reading)) return *error;
    auto& parsed = std::get<Document>(reading);
    const auto registered = registration(parsed);
    if (!registered || !registered->command) plan.change = AgentPlan::Change::add();
    else if (*registered->command == helperPath) plan.change = AgentPlan::Change::unchanged(registered->isOff);
    else plan.change = AgentPlan::Change::replace(*registered->command, registered->isOff);

    std::optional<std::string> claude;
    if (app.kind == AgentApp::Kind::claudeCode && findCommands) claude = CommandRunner::find("claude", environment, home);
    if (claude) {
        plan.method = AgentPlan::Method::command(*claude);
        plan.preview = ClaudeCodeSetup::command(helperPath);
    } else {
        // Computed for unchanged plans too, so a file the merge can't handle fails here already.
        auto edited = edit(std::move(parsed), app, helperPath, plan.configPath);
        if (auto* error = std::get_if<AgentInstallError>(&edited)) return *error;
        auto& made = std::get<Edit>(edited);
        plan.method = AgentPlan::Method::editFile();
        plan.result = std::move(made.result);
        plan.preview = std::move(made.preview);
    }

    if (!plan.createsFile && plan.change.changesFile()) plan.backupPath = AtomicFile::backupURL(app.configURL, now());
    plan.summary = summary(app, plan.change, plan.method, plan.configPath, plan.backupPath);
    return plan;
}

std::variant<AgentPlan, AgentInstallError> AgentInstaller::makeRemovalPlan(const AgentApp& app) const {
    AgentPlan plan;
    plan.app = app;
    plan.configPath = resolved(app.configURL);

    auto file = read(plan.configPath);
    if (file.unreadable) return AgentInstallError::unreadableConfig(plan.configPath, file.reason);
    plan.original = std::move(file.bytes);

    auto reading = document(plan.original, app, plan.configPath);
    if (auto* error = std::get_if<AgentInstallError>(&reading)) return *error;
    auto& parsed = std::get<Document>(reading);
    const auto registered = registration(parsed);
    plan.change = registered ? AgentPlan::Change::remove(registered->command.value_or(""))
                             : AgentPlan::Change::absent();

    std::optional<std::string> claude;
    if (app.kind == AgentApp::Kind::claudeCode && findCommands) claude = CommandRunner::find("claude", environment, home);
    if (claude) {
        plan.method = AgentPlan::Method::command(*claude);
        plan.preview = "claude mcp remove --scope user " + server;
    } else if (registered) {
        auto edited = removal(std::move(parsed), app, plan.configPath);
        if (auto* error = std::get_if<AgentInstallError>(&edited)) return *error;
        auto& made = std::get<Edit>(edited);
        plan.method = AgentPlan::Method::editFile();
        plan.result = std::move(made.result);
        plan.preview = std::move(made.preview);
    }

    if (plan.change.changesFile()) plan.backupPath = AtomicFile::backupURL(app.configURL, now());
    plan.summary = summary(app, plan.change, plan.method, plan.configPath, plan.backupPath);
    return plan;
}

ClaudeCodeSetup::Status AgentInstaller::status(const AgentApp& app, const std::string& helperPath) const {
    auto current = registration(app);
    auto* registered = std::get_if<std::optional<Registration>>(&current);
    if (!registered || !*registered || !(*registered)->command) return ClaudeCodeSetup::Status::notConnected();
    if (*(*registered)->command == helperPath) return ClaudeCodeSetup::Status::connected();
    return ClaudeCodeSetup::Status::otherHelper(*(*registered)->command);
}

std::variant<std::optional<AgentInstaller::Registration>, AgentInstallError> AgentInstaller::registration(
    const AgentApp& app) const {
    auto path = resolved(app.configURL);
    return registration(read(path).bytes, app, path);
}

std::variant<AgentInstaller::Document, AgentInstallError> AgentInstaller::document(
    const std::optional<std::string>& bytes, const AgentApp& app, const std::string& path) {
    if (app.kind == AgentApp::Kind::codex) {
        auto toml = TOMLMCPConfig::read(bytes ? std::string_view(*bytes) : std::string_view(), server);
        if (auto* problem = std::get_if<TOMLMCPConfig::Problem>(&toml)) return installError(*problem, path);
        return Document(std::move(std::get<TOMLMCPConfig::Document>(toml)));
    }
    auto json = JSONMCPConfig::read(bytes, format(app.kind), server);
    if (auto* problem = std::get_if<JSONMCPConfig::Problem>(&json)) return installError(*problem, path);
    return Document(std::move(std::get<JSONTextEdit>(json)));
}

std::variant<std::optional<AgentInstaller::Registration>, AgentInstallError> AgentInstaller::registration(
    const std::optional<std::string>& bytes, const AgentApp& app, const std::string& path) {
    auto reading = document(bytes, app, path);
    if (auto* error = std::get_if<AgentInstallError>(&reading)) return *error;
    return registration(std::get<Document>(reading));
}

std::optional<AgentInstaller::Registration> AgentInstaller::registration(const Document& document) {
    if (const auto* toml = std::get_if<TOMLMCPConfig::Document>(&document)) {
        const auto& table = toml->located;
        if (!table.header) return std::nullopt;
        Registration found;
        if (table.command && table.command->lines.first < toml->lines.size())
            found.command = TOMLLexer::value(toml->lines[table.command->lines.first]);
        found.isOff = table.enabled && TOMLMCPConfig::isFalse(toml->lines[table.enabled->lines.first]);
        return found;
    }
    const auto& entry = std::get<JSONTextEdit>(document).member();
    if (!entry) return std::nullopt;
    Registration found;
    const AgentWire::JSON* command = (*entry)["command"];
    // OpenCode keeps the command line as one list.
    if (command && command->array() && !command->array()->empty()) command = &command->array()->front();
    if (command && command->string()) found.command = *command->string();
    const AgentWire::JSON* disabled = (*entry)["disabled"];
    const AgentWire::JSON* enabled = (*entry)["enabled"];
    found.isOff = (disabled && disabled->boolValue() == true) || (enabled && enabled->boolValue() == false);
    return found;
}

std::variant<AgentInstaller::Edit, AgentInstallError> AgentInstaller::edit(Document document, const AgentApp& app,
                                                                          const std::string& helperPath,
                                                                          const std::string& path) {
    if (auto* toml = std::get_if<TOMLMCPConfig::Document>(&document)) {
        auto merged = TOMLMCPConfig::merged(std::move(*toml), server, helperPath);
        if (auto* problem = std::get_if<TOMLMCPConfig::Problem>(&merged)) return installError(*problem, path);
        return Edit{std::move(std::get<std::string>(merged)), TOMLMCPConfig::table(server, helperPath)};
    }
    const auto& file = std::get<JSONTextEdit>(document);
    const auto appFormat = format(app.kind);
    auto entryObject = mergedEntry(app.kind, file.member(), helperPath);
    auto merged = JSONMCPConfig::merged(file, appFormat, server, entryObject);
    if (auto* problem = std::get_if<JSONMCPConfig::Problem>(&merged)) return installError(*problem, path);
    return Edit{std::move(std::get<std::string>(merged)), JSONMCPConfig::snippet(appFormat, server, entryObject)};
}

std::variant<AgentInstaller::Edit, AgentInstallError> AgentInstaller::removal(Document document, const AgentApp& app,
                                                                             const std::string& path) {
    if (auto* toml = std::get_if<TOMLMCPConfig::Document>(&document)) {
        auto made = TOMLMCPConfig::removed(std::move(*toml), server);
        return Edit{std::move(made.result), std::move(made.removedLines)};
    }
    const auto& file = std::get<JSONTextEdit>(document);
    const auto appFormat = format(app.kind);
    auto removed = JSONMCPConfig::removed(file, appFormat);
    if (auto* problem = std::get_if<JSONMCPConfig::Problem>(&removed)) return installError(*problem, path);
    const auto& entryObject = file.member();
    return Edit{std::move(std::get<std::string>(removed)),
                entryObject ? JSONMCPConfig::snippet(appFormat, server, *entryObject) : std::string()};
}

JSONMCPConfig::Format AgentInstaller::format(AgentApp::Kind kind) {
    using Kind = AgentApp::Kind;
    constexpr JSONTextEdit::Syntax strict{}, comments{.comments = true},
        jsonc{.comments = true, .trailingCommas = true};
    switch (kind) {
        case Kind::claudeCode: return {"mcpServers", strict, false};
        case Kind::claudeDesktop: return {"mcpServers", strict, false};
        case Kind::gemini: return {"mcpServers", comments, false};
        case Kind::copilot: return {"mcpServers", comments, true};
        case Kind::vscode: return {"servers", jsonc, true};
        case Kind::opencode: return {"mcp", jsonc, false};
        case Kind::zed: return {"context_servers", jsonc, false};
        case Kind::codex:
        case Kind::cursor:
        case Kind::windsurf:
        case Kind::antigravity:
        case Kind::kiro: break;
    }
    return {"mcpServers", strict, true};
}

AgentWire::JSON AgentInstaller::entry(AgentApp::Kind kind, const std::string& helperPath) {
    using AgentWire::JSON;
    const JSON command(helperPath), noArguments = JSON::array({});
    switch (kind) {
        case AgentApp::Kind::claudeCode: return ClaudeConfigFile::entry(helperPath);
        case AgentApp::Kind::copilot:
            return JSON::object({{"type", JSON("stdio")}, {"command", command}, {"args", noArguments},
                                 {"tools", JSON::array({JSON("*")})}});
        case AgentApp::Kind::vscode:
            return JSON::object({{"type", JSON("stdio")}, {"command", command}, {"args", noArguments}});
        case AgentApp::Kind::opencode:
            return JSON::object({{"type", JSON("local")}, {"command", JSON::array({command})}, {"enabled", JSON(true)}});
        default: return JSON::object({{"command", command}, {"args", noArguments}});
    }
}

AgentWire::JSON AgentInstaller::mergedEntry(AgentApp::Kind kind, const std::optional<AgentWire::JSON>& existing,
                                            const std::string& helperPath) {
    using AgentWire::JSON;
    JSON fresh = entry(kind, helperPath);
    if (!existing || !existing->object()) return fresh;
    JSON::Object merged = *existing->object();
    for (const auto& member : *fresh.object()) {
        bool ours = member.key == "command" || member.key == "args" || member.key == "type" || member.key == "enabled";
        if (ours || !merged.find(member.key)) merged.set(member.key, member.value);
    }
    if (const JSON* disabled = merged.find("disabled"); disabled && disabled->boolValue() == true) merged.erase("disabled");
    if (const JSON* enabled = merged.find("enabled"); enabled && enabled->boolValue() == false)
        merged.set("enabled", JSON(true));
    return JSON(std::move(merged));
}

std::string AgentInstaller::summary(const AgentApp& app, const AgentPlan::Change& change,
                                    const AgentPlan::Method& method, const std::string& configPath,
                                    const std::optional<std::string>& backupPath) {
    using ChangeKind = AgentPlan::Change::Kind;
    if (change.kind == ChangeKind::unchanged && !change.enables)
        return std::string(app.name()) + " already has Bosken in " + configPath + ". Nothing to change.";
    if (change.kind == ChangeKind::absent)
        return std::string(app.name()) + " has no Bosken in " + configPath + ". Nothing to remove.";

    std::string text;
    if (method.kind == AgentPlan::Method::Kind::command) {
        text = "Runs the command below, which edits " + configPath + ".";
    } else if (change.kind == ChangeKind::remove) {
        text = "Removes the entry below from " + configPath + ", keeping everything else in it.";
    } else if (backupPath) {
        if (change.kind == ChangeKind::unchanged) {
            text = "Turns the entry below back on in " + configPath + ", keeping everything else in it.";
        } else {
            std::string verb = change.kind == ChangeKind::add
                                   ? "Adds"
                                   : "Replaces the entry that starts " + change.previous + " with";
            text = verb + " the entry below in " + configPath + ", keeping everything else in it";
            text += change.enables ? ", and turns it back on." : ".";
        }
    } else {
        text = "Creates " + configPath + " with the entry below.";
    }
    if (backupPath) text += " First copies the file to " + *backupPath + ".";
    return text;
}

}  // namespace AgentSetup
