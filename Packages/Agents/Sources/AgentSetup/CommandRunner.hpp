#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace AgentSetup {

// Runs an agent app's own command-line tool to completion. A value holding the operation, so
// tests put a fake in place of real processes; `process()` is the live one.
struct CommandRunner {
    using Environment = std::map<std::string, std::string>;

    // What a run ended with.
    struct Result {
        // Exit status; -1 when the process could not be started; 128 + signal when a signal ended it.
        std::int32_t status = 0;
        // Standard output and standard error interleaved (empty when not valid UTF-8), or the
        // launch error's description when the process could not be started.
        std::string output;

        // One line for an error message: colour sequences removed, white space folded, or
        // "it exited with status N." when nothing is left.
        std::string message() const;

        friend bool operator==(const Result&, const Result&) = default;
    };

    // Runs `executable` (a path, not searched) with `arguments` (no shell) and `environment`.
    // Callable from any thread; blocks until the run ends.
    using Run = std::function<Result(const std::string& executable, const std::vector<std::string>& arguments,
                                     const Environment& environment)>;

    Run run;

    // The real runner: stdout and stderr on one pipe, stdin from /dev/null, PATH per `childPath`.
    // After `timeout` the child gets SIGTERM; `killAfter` later it and its process group get
    // SIGKILL. Reading stops shortly after the child exits even if a descendant holds the pipe.
    static CommandRunner process(std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                 std::chrono::milliseconds killAfter = std::chrono::seconds(5));

    // First executable regular file named `name` in PATH, ~/.local/bin, ~/.claude/local, then the
    // system tool directories; nothing when there is none.
    static std::optional<std::string> find(const std::string& name, const Environment& environment,
                                           const std::string& home);

    // The child's PATH: the executable's directory, the environment's PATH entries, then the
    // system tool directories, empty entries and repeats dropped.
    static std::string childPath(const std::string& executable, const Environment& environment);

    // "/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin", in that order.
    static const std::vector<std::string>& systemToolDirectories();
};

}  // namespace AgentSetup
