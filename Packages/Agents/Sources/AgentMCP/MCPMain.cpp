#include "AgentMCP/MCPMain.hpp"

#include <pwd.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "AgentMCP/AppLink.hpp"
#include "AgentMCP/HelperBinary.hpp"
#include "AgentMCP/HelperRelaunch.hpp"
#include "AgentMCP/InputLines.hpp"
#include "AgentMCP/MCPInstall.hpp"
#include "AgentMCP/MCPResume.hpp"
#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/AgentWire.hpp"

namespace AgentMCP::MCPMain {

const std::string_view helpText =
    "bosken-mcp: lets an MCP client (Claude Code, \u2026) use Bosken, the owner's own browser, in tabs of its own.\n"
    "Add it to Claude Code for every session (or use Bosken \u25b8 Settings \u25b8 General \u25b8 AI agents \u25b8 agent "
    "apps, which also\n"
    "handle Claude's desktop app, Codex, Cursor, Gemini CLI and Windsurf: install --app NAME, --all):\n"
    "  /Applications/Bosken.app/Contents/Helpers/bosken-mcp install\n"
    "which runs: claude mcp add --scope user bosken -- /Applications/Bosken.app/Contents/Helpers/bosken-mcp\n"
    "Bosken must be running with Settings \u25b8 General \u25b8 AI agents turned on; the owner approves each agent.\n"
    "Commands: install [--app NAME] [--all] [--dry-run] [--list] [--print] (see install --help)\n"
    "Options: --socket <path> (or BOSKEN_AGENT_SOCKET) \u00b7 --version \u00b7 --help";

namespace {

// The guard for the executable first launched (from the record) or this one; none when
// neither is known, and the helper then never re-executes itself.
std::optional<HelperRelaunch> relaunchGuard(const std::optional<MCPResume>& resume,
                                            const std::vector<std::string>& arguments) {
    if (resume) return HelperRelaunch(resume->executable, arguments, resume->relaunches, HelperRelaunch::System::live());
    if (auto own = HelperBinary::ownPath()) return HelperRelaunch(*own, arguments, {}, HelperRelaunch::System::live());
    return std::nullopt;
}

// Writes every part, in order, with as few writev calls as the descriptor allows.
bool writeParts(int fd, iovec* parts, int count) {
    int first = 0;
    while (first < count) {
        if (parts[first].iov_len == 0) {
            ++first;
            continue;
        }
        ssize_t n = ::writev(fd, parts + first, count - first);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        auto done = static_cast<size_t>(n);
        while (first < count && done >= parts[first].iov_len) {
            done -= parts[first].iov_len;
            parts[first].iov_len = 0;
            ++first;
        }
        if (first < count) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return true;
}

int serve(const std::vector<std::string>& arguments, const Environment& environment, const std::string& socketPath) {
    // A client that goes away must end the loop through a failed write, not kill the process.
    ::signal(SIGPIPE, SIG_IGN);

    // The record is meant for this one start-up: it must not reach a later child, valid or not.
    std::optional<MCPResume> resume = MCPResume::take(environment);
    ::unsetenv(std::string(MCPResume::environmentKey).c_str());

    InputLines input(0, resume ? resume->input : std::string());

    // Built before the runner, so it outlives the preflight that uses it.
    std::optional<HelperRelaunch> guard = relaunchGuard(resume, arguments);
    std::function<std::optional<std::string>()> preflight = [&guard]() -> std::optional<std::string> {
        return guard ? guard->checkBeforeConnecting() : std::nullopt;
    };

    // Connects on the first tool call, not now.
    auto runner = std::make_shared<AppLink>(AppLink::unixSocket(socketPath), preflight, std::chrono::seconds(60),
                                            std::chrono::seconds(120));
    MCPServer server(runner, std::string(version));
    if (resume && resume->session) server.resume(*resume->session);
    // References, not ownership: the server and the reader live on this frame for as long as
    // anything can call the guard (only the runner does, from server.handle inside the loop
    // below), and neither holds the guard, so no cycle forms.
    if (guard) {
        guard->handover = [&server, &input] { return HelperRelaunch::Handover{server.session(), input.unhandled()}; };
    }

    auto writeReply = [](const ToolCallScan::Reply& reply) {
        iovec parts[5];
        for (size_t i = 0; i < 5; ++i) parts[i] = {const_cast<char*>(reply.parts[i].data()), reply.parts[i].size()};
        return writeParts(1, parts, 5);
    };
    while (auto line = input.next()) {
        // A tool call already in the writer's form takes the fast road: no tree, and the
        // result's content goes from the receive buffer to the output in one write.
        if (auto request = ToolCallScan::request(*line)) {
            if (!runner->relay(*request, writeReply)) return 0;
            continue;
        }
        auto reply = server.handle(*line);
        if (!reply) continue;
        if (!writeAll(1, *reply, "\n")) return 0;
    }
    return 0;
}

}  // namespace

std::string homeDirectory(const Environment& environment) {
    if (auto it = environment.find("HOME"); it != environment.end() && !it->second.empty()) return it->second;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

Command parse(const std::vector<std::string>& arguments, const Environment& environment,
              std::string (*home)(const Environment&)) {
    if (arguments.size() >= 2 && arguments[1] == "install") {
        return Install{std::vector<std::string>(arguments.begin() + 2, arguments.end())};
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
    if (!socketPath) socketPath = AgentWire::defaultSocketPath(home(environment));
    return Serve{*socketPath};
}

int run(const std::vector<std::string>& arguments, const Environment& environment) {
    Command command = parse(arguments, environment, homeDirectory);
    if (auto* install = std::get_if<Install>(&command)) {
        return MCPInstall::run(install->arguments, environment, MCPInstall::ownPath());
    }
    if (std::holds_alternative<PrintVersion>(command)) {
        std::string line = "bosken-mcp " + std::string(version) + " (wire " + std::to_string(AgentWire::version) + ")\n";
        writeAll(1, line);
        return 0;
    }
    if (std::holds_alternative<PrintHelp>(command)) {
        writeAll(1, helpText, "\n");
        return 0;
    }
    if (auto* error = std::get_if<UsageError>(&command)) return fail(error->message);
    return serve(arguments, environment, std::get<Serve>(command).socketPath);
}

int fail(std::string_view message) {
    std::string text = "bosken-mcp: ";
    text.append(message);
    writeAll(2, text, "\n");
    return 2;
}

bool writeAll(int fd, std::string_view bytes, std::string_view suffix) {
    // One writev for the reply and its line feed, so a large reply is never copied to add a byte.
    iovec parts[2] = {{const_cast<char*>(bytes.data()), bytes.size()}, {const_cast<char*>(suffix.data()), suffix.size()}};
    return writeParts(fd, parts, 2);
}

}  // namespace AgentMCP::MCPMain
