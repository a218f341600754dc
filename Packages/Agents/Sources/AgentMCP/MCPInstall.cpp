#include "AgentMCP/MCPInstall.hpp"

#include <stdlib.h>

#include <algorithm>

#include "AgentWire/POSIX.hpp"

namespace AgentMCP::MCPInstall {

namespace {

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::AgentInstallError;
using AgentSetup::AgentInstallResult;
using AgentSetup::AgentPlan;
using AgentSetup::ClaudeCodeSetup;

std::string rawValues() {
    std::string text;
    for (auto kind : AgentApp::allCases) {
        if (!text.empty()) text += ", ";
        text += AgentApp::rawValue(kind);
    }
    return text;
}

}  // namespace

const std::string& usage() {
    static const std::string text =
        "bosken-mcp install [--app <name> \xE2\x80\xA6] [--all] [--dry-run] [--print] [--list]\n"
        "Adds Bosken to agent apps: an MCP server named \"bosken\" that starts this helper. Before an app's config "
        "file is\n"
        "changed, the entry is shown and the file is copied beside it (<file>.bosken-backup-<date>); everything else "
        "in the\n"
        "file is kept, and the file is replaced atomically. A failure prints the manual steps and exits with status "
        "2.\n"
        "  (nothing)   Claude Code, every session: `claude mcp add --scope user` when found, else ~/.claude.json\n"
        "  --app NAME  one of: " +
        rawValues() +
        "; repeat for more\n"
        "  --all       every app found on this Mac (fails if none is)\n"
        "  --dry-run   show what would be written; change nothing\n"
        "  --list      the apps found, and whether each has Bosken\n"
        "  --print     the manual steps for every app; change nothing\n"
        "Then turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each agent "
        "when Bosken asks.";
    return text;
}

const std::string& uninstallUsage() {
    static const std::string text =
        "bosken-mcp uninstall [--app <name> \xE2\x80\xA6] [--all] [--dry-run] [--print] [--list]\n"
        "Takes Bosken out of agent apps: removes the MCP server named \"bosken\" and nothing else. Before an app's "
        "config file is\n"
        "changed, the entry is shown and the file is copied beside it (<file>.bosken-backup-<date>); everything else "
        "in the\n"
        "file is kept, and the file is replaced atomically. A failure prints the manual steps and exits with status "
        "2.\n"
        "  (nothing)   Claude Code: `claude mcp remove --scope user` when found, else ~/.claude.json\n"
        "  --app NAME  one of: " +
        rawValues() +
        "; repeat for more\n"
        "  --all       every app found on this Mac\n"
        "  --dry-run   show what would be removed; change nothing\n"
        "  --list      the apps found, and whether each has Bosken\n"
        "  --print     the manual steps for every app; change nothing";
    return text;
}

std::variant<Options, std::string> Options::parse(const std::vector<std::string>& arguments, const std::string& usage) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--print") {
            options.printSteps = true;
        } else if (argument == "--dry-run") {
            options.dryRun = true;
        } else if (argument == "--all") {
            options.all = true;
        } else if (argument == "--list") {
            options.list = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--app") {
            std::optional<AgentApp::Kind> kind;
            if (i + 1 < arguments.size()) kind = AgentApp::kindWithRawValue(arguments[++i]);
            if (!kind) return "--app needs one of: " + rawValues();
            if (std::find(options.apps.begin(), options.apps.end(), *kind) == options.apps.end())
                options.apps.push_back(*kind);
        } else {
            return "unknown option " + argument + "\n" + usage;
        }
    }
    return options;
}

// Nowhere is left to report a failed write to either.
void writeToStandardOutput(const std::string& text) { AgentWire::POSIX::writeAll(1, text + "\n"); }

void writeToStandardError(const std::string& text) { AgentWire::POSIX::writeAll(2, "bosken-mcp: " + text + "\n"); }

namespace {

// The installer of a real run: none when the home directory can't be told, since every config
// path would then be relative to wherever the command runs.
bool makeInstaller(std::optional<AgentInstaller>& installer, const Environment& environment,
                   const Writer& writeError) {
    if (installer) return true;
    auto home = AgentWire::POSIX::homeDirectory(environment);
    if (!home) {
        writeError("couldn't tell your home directory; set HOME and try again");
        return false;
    }
    installer.emplace(environment, *home, std::nullopt, true, AgentSetup::CommandRunner::process(),
                      [] { return std::chrono::system_clock::now(); });
    return true;
}

// The apps named, then with --all every other app found; Claude Code when none is asked for.
std::vector<AgentApp> targets(const Options& options, const AgentInstaller& installer) {
    std::vector<AgentApp> apps;
    for (auto kind : options.apps) apps.push_back(installer.app(kind));
    if (options.all) {
        for (auto& app : installer.apps()) {
            if (!app.isDetected) continue;
            if (std::find(options.apps.begin(), options.apps.end(), app.kind) != options.apps.end()) continue;
            apps.push_back(std::move(app));
        }
    } else if (options.apps.empty()) {
        apps.push_back(installer.app(AgentApp::Kind::claudeCode));
    }
    return apps;
}

// Plans, shows and (unless a dry run) applies the change for each app; a failed app gets its
// reason and manual steps, and the next app still runs. True when every app succeeded.
template <class Plan, class Steps>
bool applyEach(const std::vector<AgentApp>& apps, const Options& options, const AgentInstaller& installer,
               Plan plan, Steps steps, const Writer& write, const Writer& writeError) {
    bool allDone = true;
    for (const auto& app : apps) {
        const std::string name(app.name());
        auto fail = [&](const AgentInstallError& error) {
            writeError(name + ": " + error.message() + "\nBy hand:\n" + steps(app));
            allDone = false;
        };
        auto planned = plan(app);
        if (auto* error = std::get_if<AgentInstallError>(&planned)) {
            fail(*error);
            continue;
        }
        const auto& made = std::get<AgentPlan>(planned);
        if (!made.change.changesFile() && made.change.kind != AgentPlan::Change::Kind::unchanged) {
            write(name + ": " + made.summary);
            continue;
        }
        write(name + ": " + made.summary + "\n" + made.preview);
        if (options.dryRun) continue;
        auto applied = installer.install(made);
        if (auto* error = std::get_if<AgentInstallError>(&applied)) {
            fail(*error);
            continue;
        }
        write(std::get<AgentInstallResult>(applied).message());
    }
    return allDone;
}

}  // namespace

int run(const std::vector<std::string>& arguments, const Environment& environment,
        const std::optional<std::string>& helperPath, std::optional<AgentInstaller> installer, const Writer& write,
        const Writer& writeError) {
    auto parsed = Options::parse(arguments);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        writeError(*error);
        return 2;
    }
    const auto& options = std::get<Options>(parsed);
    if (options.help) {
        write(usage());
        return 0;
    }
    if (!helperPath) {
        writeError("couldn't tell where this bosken-mcp is");
        return 2;
    }
    const std::string& helper = *helperPath;
    if (options.printSteps) {
        write(AgentInstaller::manualSteps(helper, std::nullopt));
        return 0;
    }
    if (!makeInstaller(installer, environment, writeError)) return 2;
    if (options.list) {
        list(*installer, helper, write);
        return 0;
    }

    auto apps = targets(options, *installer);
    if (apps.empty()) {
        writeError("couldn't find Claude Code, Claude, Codex, Cursor, Gemini CLI, Windsurf, GitHub Copilot, VS Code, "
                   "Antigravity, OpenCode, Zed or Kiro on this Mac, so nothing was changed. Add Bosken by hand:\n" +
                   AgentInstaller::manualSteps(helper, std::nullopt));
        return 2;
    }
    bool done = applyEach(
        apps, options, *installer, [&](const AgentApp& app) { return installer->plan(app, helper); },
        [&](const AgentApp& app) { return AgentInstaller::manualSteps(helper, std::vector<AgentApp>{app}); }, write,
        writeError);
    if (!done) return 2;
    if (!options.dryRun)
        write("Turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each agent "
              "when Bosken asks.");
    return 0;
}

int runUninstall(const std::vector<std::string>& arguments, const Environment& environment,
                 std::optional<AgentInstaller> installer, const Writer& write, const Writer& writeError) {
    auto parsed = Options::parse(arguments, uninstallUsage());
    if (auto* error = std::get_if<std::string>(&parsed)) {
        writeError(*error);
        return 2;
    }
    const auto& options = std::get<Options>(parsed);
    if (options.help) {
        write(uninstallUsage());
        return 0;
    }
    if (options.printSteps) {
        write(AgentInstaller::manualRemovalSteps(std::nullopt));
        return 0;
    }
    if (!makeInstaller(installer, environment, writeError)) return 2;
    if (options.list) {
        list(*installer, ownPath().value_or(""), write);
        return 0;
    }

    auto apps = targets(options, *installer);
    if (apps.empty()) {
        write("No agent app Bosken knows is on this Mac, so there is nothing to remove.");
        return 0;
    }
    bool done = applyEach(
        apps, options, *installer, [&](const AgentApp& app) { return installer->removalPlan(app); },
        [](const AgentApp& app) { return AgentInstaller::manualRemovalSteps(std::vector<AgentApp>{app}); }, write,
        writeError);
    return done ? 0 : 2;
}

void list(const AgentInstaller& installer, const std::string& helperPath, const Writer& write) {
    for (const auto& app : installer.apps()) {
        auto status = installer.status(app, helperPath);
        std::string state;
        switch (status.kind) {
            case ClaudeCodeSetup::Status::Kind::connected:
                state = "has Bosken";
                break;
            case ClaudeCodeSetup::Status::Kind::otherHelper:
                state = "starts another Bosken: " + status.command;
                break;
            case ClaudeCodeSetup::Status::Kind::notConnected:
                state = app.isDetected ? "found, no Bosken yet" : "not found";
                break;
        }
        write(std::string(app.id()) + "  " + std::string(app.name()) + ": " + state + " (" + app.configURL + ")");
    }
}

std::optional<std::string> ownPath() {
    auto raw = AgentWire::POSIX::executablePath();
    if (!raw) return std::nullopt;
    char* real = ::realpath(raw->c_str(), nullptr);
    if (!real) return std::nullopt;
    std::string path(real);
    ::free(real);
    return path;
}

}  // namespace AgentMCP::MCPInstall
