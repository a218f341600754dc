#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace AgentMCP::MCPMain {

using Environment = std::map<std::string, std::string>;

// The helper's own version, printed by --version and reported in "serverInfo".
// Set once, by the build (the project version).
inline constexpr std::string_view version = BOSKEN_VERSION;

// The help text of --help, -h and usage errors (8 lines, no final line feed).
extern const std::string_view helpText;

// What the command line asks for.
struct Serve {
    std::string socketPath;
};
struct PrintVersion {};
struct PrintHelp {};
struct Install {
    std::vector<std::string> arguments;  // everything after "install" or "uninstall"
    bool uninstall = false;
};
struct UsageError {
    std::string message;
};
using Command = std::variant<Serve, PrintVersion, PrintHelp, Install, UsageError>;

// Reads the arguments (program path first); `home` gives the home directory when the default
// socket path is needed (nothing is a usage error).
Command parse(const std::vector<std::string>& arguments, const Environment& environment,
              std::optional<std::string> (*home)(const Environment&));

// The whole process: dispatch, then serving until the end of input. Returns the exit status.
int run(const std::vector<std::string>& arguments, const Environment& environment);

// Writes "bosken-mcp: " + message + "\n" to standard error in one write; returns 2.
int fail(std::string_view message);

}  // namespace AgentMCP::MCPMain
