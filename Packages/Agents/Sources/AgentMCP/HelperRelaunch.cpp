#include "AgentMCP/HelperRelaunch.hpp"

#include <chrono>
#include <cstring>
#include <utility>

#include "AgentMCP/HelperBinary.hpp"
#include "AgentMCP/MCPResume.hpp"

namespace AgentMCP {

HelperRelaunch::System HelperRelaunch::System::live() {
    return System{
        HelperBinary::identity,
        HelperBinary::isRunnable,
        HelperBinary::execute,
        [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); },
    };
}

std::string HelperRelaunch::Refusal::message() const {
    switch (kind) {
        case Kind::missing:
            return "bosken-mcp's program isn't at " + executable +
                   " right now: Bosken is being updated, or was moved or removed. "
                   "Try again in a few seconds; if Bosken moved, run /mcp to restart the bosken server.";
        case Kind::incomplete:
            return "Bosken is being updated (bosken-mcp's new program isn't complete yet). Try again in a few seconds.";
        case Kind::keepsChanging:
            return "bosken-mcp's program keeps changing (" + std::to_string(maxRelaunches) +
                   " restarts in a minute), so it stopped restarting "
                   "itself. Run /mcp to restart the bosken server once Bosken's update is done.";
        case Kind::tooMuchInput:
            return "Bosken was updated, and bosken-mcp has too much pending input to restart itself. "
                   "Run /mcp to restart the bosken server.";
        case Kind::relaunchFailed:
            return "Bosken was updated, and bosken-mcp couldn't restart itself (" + std::string(std::strerror(error)) +
                   "). Run /mcp to restart the bosken server.";
    }
    return {};
}

HelperRelaunch::HelperRelaunch(std::string executable, std::vector<std::string> arguments,
                               std::vector<double> relaunches, System system)
    : executable_(std::move(executable)),
      arguments_(std::move(arguments)),
      relaunches_(std::move(relaunches)),
      system_(std::move(system)) {
    launchIdentity_ = system_.identity(executable_);
}

HelperRelaunch::Disk HelperRelaunch::disk() const {
    // Without a launch identity nothing can be compared, so the guard never interferes.
    if (!launchIdentity_) return Disk::current;
    auto now = system_.identity(executable_);
    if (!now) return Disk::missing;
    if (*now == *launchIdentity_) return Disk::current;
    return system_.isRunnable(executable_) ? Disk::replaced : Disk::incomplete;
}

std::optional<HelperRelaunch::Refusal> HelperRelaunch::check() const {
    switch (disk()) {
        case Disk::current:
            return std::nullopt;
        case Disk::missing:
            return Refusal{Refusal::Kind::missing, executable_};
        case Disk::incomplete:
            return Refusal{Refusal::Kind::incomplete, {}};
        case Disk::replaced:
            break;
    }

    double now = system_.now();
    int recent = 0;
    for (double t : relaunches_)
        if (now - t < loopWindow) ++recent;  // a time in the future counts too
    // A browser that keeps replacing the file must not make the helper re-execute forever.
    if (recent >= maxRelaunches) return Refusal{Refusal::Kind::keepsChanging, {}};

    Handover state = handover ? handover() : Handover{};
    std::vector<double> times = relaunches_;
    times.push_back(now);
    // The guard's own list stays as it is: the new one travels only in the record.
    std::string text =
        MCPResume(std::move(state.session), std::move(state.input), executable_, std::move(times)).encoded();
    if (text.size() > MCPResume::maxEncodedBytes) return Refusal{Refusal::Kind::tooMuchInput, {}};

    int error = system_.execute(executable_, arguments_, text);
    return Refusal{Refusal::Kind::relaunchFailed, {}, error};
}

std::optional<std::string> HelperRelaunch::checkBeforeConnecting() const {
    if (auto refusal = check()) return refusal->message();
    return std::nullopt;
}

}  // namespace AgentMCP
