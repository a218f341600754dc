#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "AgentSetup/AgentApp.hpp"
#include "AgentSetup/AgentInstallError.hpp"
#include "AgentSetup/AgentInstallResult.hpp"
#include "AgentSetup/AgentPlan.hpp"
#include "AgentSetup/ClaudeCodeSetup.hpp"
#include "AgentSetup/CommandRunner.hpp"
#include "AgentSetup/JSONMCPConfig.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// The context of one registration run: everything detection, planning and applying read from
// the outside world. Configuration files are read straight from disk; commands and the clock
// are injected.
struct AgentInstaller {
    using Environment = std::map<std::string, std::string>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The name the helper is registered under in every agent app.
    static constexpr std::string_view serverName = ClaudeCodeSetup::serverName;

    Environment environment;
    // The user's home directory; every "~" path is relative to it.
    std::string home;
    // Folders searched for .app bundles, in order.
    std::vector<std::string> applicationFolders;
    // Whether detection and planning may look agent commands up on PATH.
    bool findCommands = true;
    CommandRunner runner;
    Clock now;
    // Relative CODEX_HOME, CLAUDE_CONFIG_DIR, COPILOT_HOME and XDG_CONFIG_HOME are taken from
    // here, so every path shown is absolute. The process's current directory by default.
    std::string workingDirectory;

    // `applicationFolders` none means "/Applications" then ~/Applications; a given list is used as is.
    AgentInstaller(Environment environment, std::string home,
                   std::optional<std::vector<std::string>> applicationFolders, bool findCommands,
                   CommandRunner runner, Clock now);

    // ---- Detection (never fails; reads only the file system)

    // All apps in catalogue order, detected or not.
    std::vector<AgentApp> apps() const;
    // One app's configuration location and whether it is found on this Mac.
    AgentApp app(AgentApp::Kind kind) const;

    // ---- Planning (reads configuration files, never writes)

    // What registering `helperPath` in `app` would do. Fails with notInstalled,
    // unreadableConfig or unsupportedLayout, without side effects.
    std::variant<AgentPlan, AgentInstallError> plan(const AgentApp& app, const std::string& helperPath) const;
    // plan() without the guard that makes running out of memory this app's failure.
    std::variant<AgentPlan, AgentInstallError> makePlan(const AgentApp& app, const std::string& helperPath) const;

    // What removing the "bosken" entry from `app` would do: remove, or absent when there is
    // none. Fails with unreadableConfig or unsupportedLayout, without side effects.
    std::variant<AgentPlan, AgentInstallError> removalPlan(const AgentApp& app) const;
    // removalPlan() without the guard that makes running out of memory this app's failure.
    std::variant<AgentPlan, AgentInstallError> makeRemovalPlan(const AgentApp& app) const;

    // Which helper the app starts now, for the listing; any reading problem is notConnected.
    ClaudeCodeSetup::Status status(const AgentApp& app, const std::string& helperPath) const;

    // The "bosken" entry as the app reads it: the command it starts (none when it has none in
    // text) and whether it is turned off ("disabled": true, "enabled": false).
    struct Registration {
        std::optional<std::string> command;
        bool isOff = false;
        friend bool operator==(const Registration&, const Registration&) = default;
    };

    // The "bosken" entry in the app's configuration now, or none.
    std::variant<std::optional<Registration>, AgentInstallError> registration(const AgentApp& app) const;

    // A configuration file read once, so a plan finds the entry and edits it from one reading.
    using Document = std::variant<JSONTextEdit, TOMLMCPConfig::Document>;
    // `bytes` (none: no file) read in the app's format; `path` names the file in errors.
    static std::variant<Document, AgentInstallError> document(const std::optional<std::string>& bytes,
                                                              const AgentApp& app, const std::string& path);

    // The "bosken" entry in `bytes` (none: no file); `path` names the file in errors.
    static std::variant<std::optional<Registration>, AgentInstallError> registration(
        const std::optional<std::string>& bytes, const AgentApp& app, const std::string& path);
    static std::optional<Registration> registration(const Document& document);

    // The new file and the preview shown for it.
    struct Edit {
        std::string result;
        std::string preview;
    };
    static std::variant<Edit, AgentInstallError> edit(Document document, const AgentApp& app,
                                                      const std::string& helperPath, const std::string& path);
    // The file without the "bosken" entry, and the preview of what goes.
    static std::variant<Edit, AgentInstallError> removal(Document document, const AgentApp& app,
                                                         const std::string& path);

    // Where and how a JSON app keeps its servers.
    static JSONMCPConfig::Format format(AgentApp::Kind kind);

    // A new "bosken" entry of a JSON configuration, in the shape the app expects.
    static AgentWire::JSON entry(AgentApp::Kind kind, const std::string& helperPath);

    // `existing` pointed at `helperPath`: the user's own keys (env, tool filters, time-outs)
    // stay, the command, args and type are set, and a turned-off entry is turned back on.
    static AgentWire::JSON mergedEntry(AgentApp::Kind kind, const std::optional<AgentWire::JSON>& existing,
                                       const std::string& helperPath);

    // The one-sentence description of a plan.
    static std::string summary(const AgentApp& app, const AgentPlan::Change& change, const AgentPlan::Method& method,
                               const std::string& configPath, const std::optional<std::string>& backupPath);

    // ---- Applying

    // Carries out a shown plan (adding or removing): refuses a file changed since, backs it up,
    // writes it atomically or runs `claude mcp add` / `remove`, and reads the file back. A
    // failure leaves the file as it was (except as the `claude` command left it).
    std::variant<AgentInstallResult, AgentInstallError> install(const AgentPlan& plan) const;
    // install() without the guard that makes running out of memory this app's failure.
    std::variant<AgentInstallResult, AgentInstallError> apply(const AgentPlan& plan) const;

    // Runs `claude mcp [remove then] add`, or only remove, for the plan; commandFailed when the
    // last command fails.
    std::optional<AgentInstallError> runClaude(const std::string& executable, const AgentPlan& plan) const;

    // ---- Reading configuration files

    // Larger files are refused unread: no settings file comes near it, and reading one would
    // only risk running out of memory.
    static constexpr unsigned long long maxConfigBytes = 256ull << 20;

    // A configuration file as read: its bytes, none when nothing is there, or `unreadable`
    // when something is there that can't be read whole as a regular file (a directory, no
    // permission, a device, a loop of links, a file over `maxConfigBytes`), with the reason.
    struct FileRead {
        std::optional<std::string> bytes;
        bool unreadable = false;
        std::string reason = "Bosken couldn't read it";
    };
    static FileRead read(const std::string& path);

    // `path` with every symbolic link resolved (a dangling final link gives the path it names);
    // the path itself when it can't be resolved.
    static std::string resolved(const std::string& path);

    // ---- Manual steps

    // How to add Bosken by hand to each of `apps` (all of them with ~ paths when none); ends in "\n".
    static std::string manualSteps(const std::string& helperPath, const std::optional<std::vector<AgentApp>>& apps);
    // How to take Bosken out by hand, in the same form.
    static std::string manualRemovalSteps(const std::optional<std::vector<AgentApp>>& apps);

    // Every line of `text` prefixed with four spaces, ending in one line feed.
    static std::string indent(std::string_view text);
};

}  // namespace AgentSetup
