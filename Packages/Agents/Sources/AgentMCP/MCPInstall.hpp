#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "AgentSetup/AgentApp.hpp"
#include "AgentSetup/AgentInstaller.hpp"

// `bosken-mcp install …` and `bosken-mcp uninstall …`: registers the helper in agent apps from a
// terminal or takes it out again, lists them, or prints the manual steps.
namespace AgentMCP::MCPInstall {

using Environment = std::map<std::string, std::string>;
// Receives one text; the default writers add the line feed (and the error prefix).
using Writer = std::function<void(const std::string& text)>;

// The help text of `install --help` (11 lines, no final line feed).
const std::string& usage();
// The help text of `uninstall --help` (10 lines, no final line feed).
const std::string& uninstallUsage();

// The parsed command line.
struct Options {
    // Kinds named with --app, in the order first named, without repeats.
    std::vector<AgentSetup::AgentApp::Kind> apps;
    bool all = false;
    bool dryRun = false;
    bool printSteps = false;
    bool list = false;
    bool help = false;

    // The options, or the error text for the user (ending in `usage` for an unknown option);
    // the first error ends parsing.
    static std::variant<Options, std::string> parse(const std::vector<std::string>& arguments,
                                                    const std::string& usage = MCPInstall::usage());

    friend bool operator==(const Options&, const Options&) = default;
};

// The text followed by a line feed on standard output, in one write.
void writeToStandardOutput(const std::string& text);
// "bosken-mcp: " + text + "\n" on standard error, in one write.
void writeToStandardError(const std::string& text);

// Runs the command on the arguments after "install". `installer` none makes the real one from
// the environment; `helperPath` none is an error. Returns 0, or 2 for a usage error or any
// app that failed (the others are still done).
int run(const std::vector<std::string>& arguments, const Environment& environment,
        const std::optional<std::string>& helperPath, std::optional<AgentSetup::AgentInstaller> installer = std::nullopt,
        const Writer& write = writeToStandardOutput, const Writer& writeError = writeToStandardError);

// Runs the command on the arguments after "uninstall": removes the "bosken" entry from the
// chosen apps. Returns 0 (an app without the entry has nothing to remove), or 2 for a usage
// error or any app that failed (the others are still done).
int runUninstall(const std::vector<std::string>& arguments, const Environment& environment,
                 std::optional<AgentSetup::AgentInstaller> installer = std::nullopt,
                 const Writer& write = writeToStandardOutput, const Writer& writeError = writeToStandardError);

// One line per app: "<id>  <name>: <state> (<config path>)".
void list(const AgentSetup::AgentInstaller& installer, const std::string& helperPath, const Writer& write);

// The running executable's path with every link resolved, or none.
std::optional<std::string> ownPath();

}  // namespace AgentMCP::MCPInstall
