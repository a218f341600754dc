#include "AgentMCP/MCPMain.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>

#include "AgentMCP/AppLink.hpp"
#include "AgentMCP/HelperRelaunch.hpp"
#include "AgentMCP/InputLines.hpp"
#include "AgentMCP/MCPInstall.hpp"
#include "AgentMCP/MCPResume.hpp"
#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ReplyWriter.hpp"
#include "AgentMCP/ServeLoop.hpp"
#include "AgentWire/AgentWire.hpp"
#include "AgentWire/POSIX.hpp"

namespace AgentMCP::MCPMain {

const std::string_view helpText =
    "bosken-mcp: lets an MCP client (Claude Code, \u2026) use Bosken, the owner's own browser, in tabs of its own.\n"
    "Add it to Claude Code for every session (or use Bosken \u25b8 Settings \u25b8 General \u25b8 AI agents \u25b8 agent "
    "apps, which also\n"
    "handle Claude's desktop app, Codex, Cursor, Gemini CLI, Windsurf, Copilot, VS Code, Antigravity, OpenCode, Zed "
    "and Kiro: install --app NAME, --all):\n"
    "  /Applications/Bosken.app/Contents/Helpers/bosken-mcp install\n"
    "which runs: claude mcp add --scope user bosken -- /Applications/Bosken.app/Contents/Helpers/bosken-mcp\n"
    "Bosken must be running with Settings \u25b8 General \u25b8 AI agents turned on; the owner approves each agent.\n"
    "Commands: install | uninstall [--app NAME] [--all] [--dry-run] [--list] [--print] (see install --help)\n"
    "Options: --socket <path> (or BOSKEN_AGENT_SOCKET) \u00b7 --version \u00b7 --help";

namespace {

// The guard for the executable first launched (from the record) or this one; none when
// neither is known, and the helper then never re-executes itself. The next program gets the
// client's output with every reply written and in the mode it was found in.
std::optional<HelperRelaunch> relaunchGuard(const std::optional<MCPResume>& resume,
                                            const std::vector<std::string>& arguments, ReplyWriter& output) {
    HelperRelaunch::System system = HelperRelaunch::System::live();
    system.execute = [&output, execute = system.execute](const std::string& path,
                                                         const std::vector<std::string>& arguments,
                                                         const std::string& record) {
        output.flushAll();
        output.restore();
        int error = execute(path, arguments, record);
        output.takeOver();
        return error;
    };
    if (resume) return HelperRelaunch(resume->executable, arguments, resume->relaunches, system);
    if (auto own = AgentWire::POSIX::executablePath()) return HelperRelaunch(*own, arguments, {}, system);
    return std::nullopt;
}

int serve(const std::vector<std::string>& arguments, const Environment& environment, const std::string& socketPath) {
    // A client that goes away must end the loop through a failed write, not kill the process.
    ::signal(SIGPIPE, SIG_IGN);

    // The record is meant for this one start-up: it must not reach a later child, valid or not.
    std::optional<MCPResume> resume = MCPResume::take(environment);
    ::unsetenv(std::string(MCPResume::environmentKey).c_str());

    InputLines input(0, resume ? resume->input : std::string(), AgentWire::maxResultBytes);
    ReplyWriter output(1);

    // Built before the link, so it outlives the preflight that uses it.
    std::optional<HelperRelaunch> guard = relaunchGuard(resume, arguments, output);
    const ServeLoop* loop = nullptr;
    std::function<std::optional<std::string>()> preflight = [&guard, &loop]() -> std::optional<std::string> {
        // Mid-batch or mid-skip a re-execution would answer something twice: the update waits
        // for the next connection.
        if (!guard || (loop && !loop->mayHandOver())) return std::nullopt;
        return guard->checkBeforeConnecting();
    };

    // Connects on the first tool call, not now.
    AppLink link(AppLink::unixSocket(socketPath), preflight, std::chrono::seconds(60), std::chrono::seconds(120));
    MCPServer server(std::string(version),
                     [&link](const std::string& name, const std::string& clientVersion) {
                         link.clientDidIntroduce(name, clientVersion);
                     });
    if (resume && resume->session) server.resume(*resume->session);
    ServeLoop serving(server, link, input, output, ServeLoop::Limits{});
    loop = &serving;
    // References, not ownership: everything lives on this frame for as long as anything can
    // call the guard (only the link does, from inside the loop below).
    if (guard) {
        guard->handover = [&server, &serving] { return HelperRelaunch::Handover{server.session(), serving.unhandled()}; };
    }
    return serving.run();
}

}  // namespace

Command parse(const std::vector<std::string>& arguments, const Environment& environment,
              std::optional<std::string> (*home)(const Environment&)) {
    if (arguments.size() >= 2 && (arguments[1] == "install" || arguments[1] == "uninstall")) {
        return Install{std::vector<std::string>(arguments.begin() + 2, arguments.end()), arguments[1] == "uninstall"};
    }
    std::optional<std::string> socketPath;
    if (auto it = environment.find(std::string(AgentWire::socketEnvironmentKey)); it != environment.end()) {
        socketPath = it->second;
    }
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--socket") {
            if (i + 1 == arguments.size()) return UsageError{"--socket needs a path"};
            socketPath = arguments[++i];
        } else if (argument == "--version") {
            return PrintVersion{};
        } else if (argument == "--help" || argument == "-h") {
            return PrintHelp{};
        } else {
            return UsageError{"unknown option " + argument + "\n" + std::string(helpText)};
        }
    }
    if (!socketPath) {
        auto directory = home(environment);
        if (!directory) return UsageError{"couldn't tell your home directory; set HOME or use --socket <path>"};
        socketPath = AgentWire::defaultSocketPath(*directory);
    }
    return Serve{*socketPath};
}

int run(const std::vector<std::string>& arguments, const Environment& environment) {
    Command command = parse(arguments, environment, AgentWire::POSIX::homeDirectory);
    if (auto* install = std::get_if<Install>(&command)) {
        if (install->uninstall) return MCPInstall::runUninstall(install->arguments, environment);
        return MCPInstall::run(install->arguments, environment, MCPInstall::ownPath());
    }
    if (std::holds_alternative<PrintVersion>(command)) {
        std::string line = "bosken-mcp " + std::string(version) + " (wire " + std::to_string(AgentWire::version) + ")\n";
        AgentWire::POSIX::writeAll(1, line);
        return 0;
    }
    if (std::holds_alternative<PrintHelp>(command)) {
        AgentWire::POSIX::writeAll(1, std::string(helpText) + "\n");
        return 0;
    }
    if (auto* error = std::get_if<UsageError>(&command)) return fail(error->message);
    return serve(arguments, environment, std::get<Serve>(command).socketPath);
}

int fail(std::string_view message) {
    std::string text = "bosken-mcp: ";
    text.append(message);
    text.push_back('\n');
    AgentWire::POSIX::writeAll(2, text);
    return 2;
}

}  // namespace AgentMCP::MCPMain
