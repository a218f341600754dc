#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AgentMCP/MCPSession.hpp"

namespace AgentMCP {

// Decides, before each connection to the browser, whether this helper may go on as it is:
// when the browser replaced the helper's executable, it re-executes the new program in the
// same process with the session and unread input handed over; when it cannot, it says why.
class HelperRelaunch {
public:
    // The platform operations the guard decides on; `live()` is the real platform.
    struct System {
        std::function<std::optional<std::string>(const std::string& path)> identity;
        std::function<bool(const std::string& path)> isRunnable;
        // Returns only when the re-execution failed, with its errno.
        std::function<int(const std::string& path, const std::vector<std::string>& arguments,
                          const std::string& resume)>
            execute;
        // Seconds since 1970.
        std::function<double()> now;

        static System live();
    };

    // The file at the executable path compared with the one launched.
    enum class Disk { current, replaced, incomplete, missing };

    // What the guard hands to the next copy: the session and the input not yet finished with.
    struct Handover {
        std::optional<MCPSession> session;
        std::string input;
    };

    // Why the guard would not let the helper connect; `message()` is the text for the agent.
    struct Refusal {
        enum class Kind { missing, incomplete, keepsChanging, tooMuchInput, relaunchFailed };
        Kind kind;
        std::string executable;  // for `missing`
        int error = 0;           // errno, for `relaunchFailed`

        std::string message() const;
        friend bool operator==(const Refusal&, const Refusal&) = default;
    };

    // Re-executions allowed within `loopWindow` seconds.
    static constexpr int maxRelaunches = 3;
    static constexpr double loopWindow = 60.0;

    // A guard for `executable`, launched with `arguments` (program path first) after the
    // re-executions at `relaunches`; takes the launch identity now.
    HelperRelaunch(std::string executable, std::vector<std::string> arguments, std::vector<double> relaunches,
                   System system);

    // The state of the file on disk; `current` when the launch identity is unknown.
    Disk disk() const;

    // Nothing when the helper may connect; otherwise why not. Does not return when it
    // re-executes the helper.
    std::optional<Refusal> check() const;

    // check() as the text for the agent (the App link's preflight).
    std::optional<std::string> checkBeforeConnecting() const;

    // Asked for the state to hand over just before a re-execution; the serve loop points it
    // at the server and the input reader. By default no session and no input.
    std::function<Handover()> handover = [] { return Handover{}; };

    const std::string& executable() const { return executable_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    const std::optional<std::string>& launchIdentity() const { return launchIdentity_; }
    const std::vector<double>& relaunches() const { return relaunches_; }

private:
    std::string executable_;
    std::vector<std::string> arguments_;
    std::optional<std::string> launchIdentity_;
    std::vector<double> relaunches_;
    System system_;
};

}  // namespace AgentMCP
