#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "AgentSetup/ClaudeConfigFile.hpp"
#include "AgentSetup/ClaudeSetupError.hpp"
#include "AgentSetup/CommandRunner.hpp"

namespace AgentSetup {

// Registers the helper as MCP server "bosken" in Claude Code, through Claude Code's own
// `claude` command when one is known and by editing its settings file otherwise, and only
// reports success once the settings name the helper. The static members are the small facts
// the install command shares: where the settings live, which helper locations may be
// registered, how a path is quoted for the `claude mcp add` line, and the status answers.
class ClaudeCodeSetup {
public:
    using Environment = std::map<std::string, std::string>;
    using SetupError = ClaudeSetupError;

    // The MCP server name the helper registers under.
    static constexpr std::string_view serverName = "bosken";

    // What the settings register under `serverName`, relative to one helper path.
    struct Status {
        enum class Kind { otherHelper, connected, notConnected };
        Kind kind = Kind::notConnected;
        // The registered command for otherHelper (possibly empty); empty otherwise.
        std::string command;

        static Status otherHelper(std::string command) { return {Kind::otherHelper, std::move(command)}; }
        static Status connected() { return {Kind::connected, {}}; }
        static Status notConnected() { return {Kind::notConnected, {}}; }

        friend bool operator==(const Status&, const Status&) = default;
    };

    // How a registration was made.
    struct Method {
        enum class Kind { claudeCommand, configFile };
        Kind kind = Kind::configFile;
        // The `claude` command that was run; empty for configFile.
        std::string path;

        static Method claudeCommand(std::string path) { return {Kind::claudeCommand, std::move(path)}; }
        static Method configFile() { return {Kind::configFile, {}}; }

        friend bool operator==(const Method&, const Method&) = default;
    };

    // What `install` did.
    struct Outcome {
        enum class Kind { added, replaced, alreadyConnected };
        Kind kind = Kind::alreadyConnected;
        // The command registered before, for replaced; empty otherwise.
        std::string previous;
        // How it was done, for added and replaced.
        Method method;

        static Outcome added(Method method) { return {Kind::added, {}, std::move(method)}; }
        static Outcome replaced(std::string previous, Method method) {
            return {Kind::replaced, std::move(previous), std::move(method)};
        }
        static Outcome alreadyConnected() { return {Kind::alreadyConnected, {}, {}}; }

        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    // The settings file.
    ClaudeConfigFile config;
    // The `claude` command to register through; none edits the settings file instead.
    std::optional<std::string> claude;
    // The environment of every `claude` run.
    Environment environment;
    CommandRunner runner;

    // The live setup: the settings at `configURL(environment, home)`, `claude` looked up with
    // CommandRunner::find when `findClaude`, and HOME set to `home` for its runs.
    ClaudeCodeSetup(const Environment& environment, const std::string& home, bool findClaude, CommandRunner runner);
    ClaudeCodeSetup(ClaudeConfigFile config, std::optional<std::string> claude, Environment environment,
                    CommandRunner runner);

    // Claude Code's settings file: CLAUDE_CONFIG_DIR/.claude.json when that variable is set and
    // non-empty (taken as written), else home/.claude.json.
    static std::string configURL(const Environment& environment, const std::string& home);

    // True when `helperPath` is an absolute path inside an app bundle's Contents/Helpers that is
    // neither on a mounted volume (/Volumes/) nor in a translocated copy (/AppTranslocation/).
    static bool isInstalled(std::string_view helperPath);

    // `text` unchanged when every scalar is a letter, mark or digit of any script or one of
    // "/._-+"; otherwise wrapped in single quotes with each inner quote written '\''.
    // The empty text stays empty.
    static std::string shellQuoted(std::string_view text);

    // The line a user could type: "claude mcp add --scope user bosken -- <quoted helper path>".
    static std::string command(const std::string& helperPath);

    // connected when the settings register exactly `helperPath` (arguments not compared),
    // otherHelper with the registered command, notConnected when nothing is registered or the
    // settings cannot be read.
    Status status(const std::string& helperPath) const;

    // Registers `helperPath` unless it already is, then reads the settings back.
    std::variant<Outcome, SetupError> install(const std::string& helperPath) const;
};

}  // namespace AgentSetup
