#include "AgentSetup/CommandRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "AgentWire/UTF8.hpp"

namespace AgentSetup {

namespace {

using Clock = std::chrono::steady_clock;

// What a misbehaving tool may print before the rest is dropped; far above any real message.
constexpr std::size_t maxOutputBytes = 8 * 1024 * 1024;
// How long output is still read after the child exits, for a descendant that holds the pipe.
constexpr auto exitGrace = std::chrono::milliseconds(300);

std::vector<std::string> splitPath(const std::string& value) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= value.size()) {
        auto end = value.find(':', start);
        if (end == std::string::npos) end = value.size();
        if (end > start) entries.push_back(value.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

std::string joined(const std::string& directory, const std::string& component) {
    if (directory.empty()) return component;
    if (directory.back() == '/') return directory + component;
    return directory + "/" + component;
}

// White space and line breaks of any script (Unicode Z categories plus the C0 and NEL breaks).
bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string withoutColours(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\x1B' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t k = i + 2;
            while (k < text.size() && (std::isdigit(static_cast<unsigned char>(text[k])) || text[k] == ';')) ++k;
            if (k < text.size() && text[k] == 'm') {
                i = k + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::string foldedWhitespace(std::string_view text) {
    std::string out;
    bool pendingSpace = false;
    for (std::size_t i = 0; i < text.size();) {
        char32_t scalar = 0;
        auto length = AgentWire::UTF8::sequenceLength(text, i, &scalar);
        if (length == 0) length = 1, scalar = 0xFFFD;  // not reached for decoded output; kept verbatim
        if (isWhitespace(scalar)) {
            pendingSpace = !out.empty();
        } else {
            if (pendingSpace) out += ' ';
            pendingSpace = false;
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Drops bytes past the cap, backing up to a character boundary so a cut output stays UTF-8.
void capOutput(std::string& output) {
    if (output.size() <= maxOutputBytes) return;
    std::size_t cut = maxOutputBytes;
    while (cut > 0 && (static_cast<unsigned char>(output[cut]) & 0xC0) == 0x80) --cut;
    output.resize(cut);
}

CommandRunner::Result runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                                 const CommandRunner::Environment& environment, std::chrono::milliseconds timeout,
                                 std::chrono::milliseconds killAfter) {
    std::vector<std::string> argumentStrings;
    argumentStrings.reserve(arguments.size() + 1);
    argumentStrings.push_back(executable);
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    for (const auto& [name, value] : environment)
        if (name != "PATH") environmentStrings.push_back(name + "=" + value);
    environmentStrings.push_back("PATH=" + CommandRunner::childPath(executable, environment));
    std::vector<char*> envp;
    for (auto& entry : environmentStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe(fds) != 0) return {-1, "couldn't run " + executable + ": " + std::strerror(errno)};
    // The parent's ends must not leak into other children started meanwhile.
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // A group of its own, so a stubborn tool's helpers can be killed with it.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

    pid_t pid = 0;
    int spawnError = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeQuietly(fds[1]);
    if (spawnError != 0) {
        closeQuietly(fds[0]);
        return {-1, "couldn't run " + executable + ": " + std::strerror(spawnError)};
    }

    std::string output;
    const auto start = Clock::now();
    const auto terminateAt = start + timeout;
    const auto killAt = terminateAt + killAfter;
    bool terminated = false, killed = false, pipeOpen = true, reaped = false;
    int waitStatus = 0;
    std::optional<Clock::time_point> exitedAt;
    auto idleWait = std::chrono::milliseconds(1);
    char buffer[16384];

    while (pipeOpen || !reaped) {
        auto now = Clock::now();
        if (!reaped) {
            pid_t done = ::waitpid(pid, &waitStatus, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR)) {
                reaped = true;
                exitedAt = now;
            }
        }
        if (!reaped && !terminated && now >= terminateAt) {
            ::kill(pid, SIGTERM);
            terminated = true;
        }
        if (!reaped && !killed && now >= killAt) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (pipeOpen && exitedAt && now >= *exitedAt + exitGrace) pipeOpen = false;
        if (!pipeOpen && reaped) break;

        // Sleep until output arrives or the next deadline; the child's exit is noticed by polling,
        // with a short interval that grows while nothing happens.
        auto next = now + idleWait;
        if (!terminated) next = std::min(next, terminateAt);
        else if (!killed) next = std::min(next, killAt);
        if (exitedAt) next = std::min(next, *exitedAt + exitGrace);
        auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        if (waitMs < 0) waitMs = 0;

        if (!pipeOpen) {
            ::poll(nullptr, 0, static_cast<int>(waitMs));
            idleWait = std::min(idleWait * 2, std::chrono::milliseconds(50));
            continue;
        }
        pollfd entry{fds[0], POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(waitMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0) {
            ssize_t count = ::read(fds[0], buffer, sizeof buffer);
            if (count > 0) {
                if (output.size() < maxOutputBytes + 4) output.append(buffer, static_cast<std::size_t>(count));
                idleWait = std::chrono::milliseconds(1);
                continue;
            }
            if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                pipeOpen = false;
                idleWait = std::chrono::milliseconds(1);  // the child is most likely exiting now
            }
            continue;
        }
        idleWait = std::min(idleWait * 2, std::chrono::milliseconds(50));
    }
    closeQuietly(fds[0]);

    capOutput(output);
    if (!AgentWire::UTF8::isValid(output)) output.clear();
    return {statusOf(waitStatus), std::move(output)};
}

}  // namespace

std::string CommandRunner::Result::message() const {
    auto cleaned = foldedWhitespace(withoutColours(output));
    if (!cleaned.empty()) return cleaned;
    return "it exited with status " + std::to_string(status) + ".";
}

CommandRunner CommandRunner::process(std::chrono::milliseconds timeout, std::chrono::milliseconds killAfter) {
    return CommandRunner{[timeout, killAfter](const std::string& executable, const std::vector<std::string>& arguments,
                                              const Environment& environment) {
        return runProcess(executable, arguments, environment, timeout, killAfter);
    }};
}

const std::vector<std::string>& CommandRunner::systemToolDirectories() {
    static const std::vector<std::string> directories{"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin"};
    return directories;
}

std::string CommandRunner::childPath(const std::string& executable, const Environment& environment) {
    std::vector<std::string> entries;
    auto slash = executable.rfind('/');
    if (slash != std::string::npos) entries.push_back(slash == 0 ? "/" : executable.substr(0, slash));
    if (auto path = environment.find("PATH"); path != environment.end())
        for (auto& entry : splitPath(path->second)) entries.push_back(std::move(entry));
    for (const auto& directory : systemToolDirectories()) entries.push_back(directory);

    std::string result;
    std::vector<std::string_view> seen;
    for (const auto& entry : entries) {
        if (std::find(seen.begin(), seen.end(), entry) != seen.end()) continue;
        seen.push_back(entry);
        if (!result.empty()) result += ':';
        result += entry;
    }
    return result;
}

std::optional<std::string> CommandRunner::find(const std::string& name, const Environment& environment,
                                               const std::string& home) {
    std::vector<std::string> directories;
    if (auto path = environment.find("PATH"); path != environment.end()) directories = splitPath(path->second);
    directories.push_back(joined(home, ".local/bin"));
    directories.push_back(joined(home, ".claude/local"));
    for (const auto& directory : systemToolDirectories()) directories.push_back(directory);

    for (const auto& directory : directories) {
        auto candidate = directory + "/" + name;
        struct stat info {};
        // Only a regular file the user may run: a directory named like the tool is no tool.
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

}  // namespace AgentSetup
