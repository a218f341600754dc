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
#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// The context of one registration run: everything detection, planning and applying read from
// the outside world. Configuration files are read straight from disk; commands and the clock
// are injected.
struct AgentInstaller {
    using Environment = std::map<std::string, std::string>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The name the helper is registered under in every agent app.
    static constexpr std::string_view serverName = "bosken";

    Environment environment;
    // The user's home directory; every "~" path is relative to it.
    std::string home;
    // Folders searched for .app bundles, in order.
    std::vector<std::string> applicationFolders;
    // Whether detection and planning may look agent commands up on PATH.
    bool findCommands = true;
    CommandRunner runner;
    Clock now;

    // `applicationFolders` none means "/Applications" then ~/Applications; a given list is used as is.
    AgentInstaller(Environment environment, std::string home,
                   std::optional<std::vector<std::string>> applicationFolders, bool findCommands,
                   CommandRunner runner, Clock now);

    // ---- Detection (never fails; reads only the file system)

    // All six apps in catalogue order, detected or not.
    std::vector<AgentApp> apps() const;
    // One app's configuration location and whether it is found on this Mac.
    AgentApp app(AgentApp::Kind kind) const;

    // ---- Planning (reads configuration files, never writes)

    // What registering `helperPath` in `app` would do. Fails with notInstalled,
    // unreadableConfig or unsupportedLayout, without side effects.
    std::variant<AgentPlan, AgentInstallError> plan(const AgentApp& app, const std::string& helperPath) const;
    // plan() without the guard that makes running out of memory this app's failure.
    std::variant<AgentPlan, AgentInstallError> makePlan(const AgentApp& app, const std::string& helperPath) const;

    // Which helper the app starts now, for the listing; any reading problem is notConnected.
    ClaudeCodeSetup::Status status(const AgentApp& app, const std::string& helperPath) const;

    // The command registered as "bosken" in the app's configuration now, or none.
    std::variant<std::optional<std::string>, AgentInstallError> currentCommand(const AgentApp& app) const;

    // The command registered as "bosken" in `bytes` (none: no file); `path` names the file in errors.
    static std::variant<std::optional<std::string>, AgentInstallError> command(
        const std::optional<std::string>& bytes, const AgentApp& app, const std::string& path);

    // The new file and the preview shown for it.
    struct Edit {
        std::string result;
        std::string preview;
    };
    static std::variant<Edit, AgentInstallError> edit(const std::optional<std::string>& bytes, const AgentApp& app,
                                                      const std::string& helperPath, const std::string& path);

    // The "bosken" entry of a JSON configuration: Claude Code's four-member stdio entry, or
    // {"command", "args": []} for the other JSON apps.
    static AgentWire::JSON entry(AgentApp::Kind kind, const std::string& helperPath);

    // The one-sentence description of a plan.
    static std::string summary(const AgentApp& app, const AgentPlan::Change& change, const AgentPlan::Method& method,
                               const std::string& configPath, const std::optional<std::string>& backupPath);

    // ---- Applying

    // Carries out a shown plan: refuses a file changed since, backs it up, writes it atomically
    // or runs `claude mcp add`, and reads the entry back. A failure leaves the file as it was
    // (except as the `claude` command left it).
    std::variant<AgentInstallResult, AgentInstallError> install(const AgentPlan& plan) const;
    // install() without the guard that makes running out of memory this app's failure.
    std::variant<AgentInstallResult, AgentInstallError> apply(const AgentPlan& plan) const;

    // Runs `claude mcp [remove then] add` for the plan; commandFailed when the add fails.
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

    // How to add Bosken by hand to each of `apps` (all six with ~ paths when none); ends in "\n".
    static std::string manualSteps(const std::string& helperPath, const std::optional<std::vector<AgentApp>>& apps);

    // Every line of `text` prefixed with four spaces, ending in one line feed.
    static std::string indent(std::string_view text);
};

}  // namespace AgentSetup
