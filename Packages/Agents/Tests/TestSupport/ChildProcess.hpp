#pragma once

// A real child process with its standard input, output and error on pipes, for end-to-end
// tests of the built executables. Every wait is bounded; a child still running when the
// object goes away is killed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/POSIX.hpp"

extern char** environ;

namespace TestSupport {

using AgentWire::FileDescriptor;

class ChildProcess {
public:
    using Environment = std::map<std::string, std::string>;

    // Starts `arguments[0]` with the given arguments. `environment` replaces the whole
    // environment when given; otherwise the test's own is inherited.
    ChildProcess(const std::vector<std::string>& arguments, std::optional<Environment> environment = std::nullopt) {
        // A child that exits early must make our writes fail, not kill the test.
        ::signal(SIGPIPE, SIG_IGN);
        // Owned, so every end made so far closes when a later pipe() fails or the spawn does.
        FileDescriptor in[2], out[2], err[2];
        if (!makePipe(in) || !makePipe(out) || !makePipe(err)) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0].get(), 0);
        posix_spawn_file_actions_adddup2(&actions, out[1].get(), 1);
        posix_spawn_file_actions_adddup2(&actions, err[1].get(), 2);
        for (const auto* ends : {in, out, err})
            for (int end : {0, 1}) posix_spawn_file_actions_addclose(&actions, ends[end].get());

        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        std::vector<char*> envp;
        for (const auto& [k, v] : environment.value_or(Environment{})) envStrings.push_back(k + "=" + v);
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) { pid_ = -1; return; }
        stdin_ = std::move(in[1]);
        stdout_ = std::move(out[0]);
        stderr_ = std::move(err[0]);
        for (int fd : {stdout_.get(), stderr_.get()}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }

    ~ChildProcess() {
        closeStdin();
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Writes all bytes to the child's standard input; false when the pipe broke.
    bool write(const std::string& bytes) { return AgentWire::POSIX::writeAll(stdin_.get(), bytes) == 0; }

    void closeStdin() { stdin_.reset(); }

    // Closes our end of the child's standard output (the reader goes away).
    void closeStdout() { stdout_.reset(); }

    // The next line of standard output without its line feed, or nothing after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t nl;
        while ((nl = out_.find('\n')) == std::string::npos)
            if (!pump(deadline)) return std::nullopt;
        std::string line = out_.substr(0, nl);
        out_.erase(0, nl + 1);
        return line;
    }

    // Waits for the child to end (reading its output meanwhile); the wait status, or
    // nothing after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status_) {
            if (int st; ::waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = st;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            pump(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
        }
        readInto(stdout_.get(), out_);
        readInto(stderr_.get(), err_);
        return status_;
    }

    // Exit status of a normal exit, -signal for a signal, nothing while running.
    std::optional<int> exitCode(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto st = wait(timeout);
        if (st && WIFEXITED(*st)) return WEXITSTATUS(*st);
        if (st && WIFSIGNALED(*st)) return -WTERMSIG(*st);
        return std::nullopt;
    }

    // Everything read from standard output and not yet taken by readLine.
    const std::string& output() const { return out_; }
    const std::string& errorOutput() const { return err_; }

private:
    pid_t pid_ = -1;
    FileDescriptor stdin_, stdout_, stderr_;
    std::optional<int> status_;
    std::string out_, err_;

    static bool readInto(int fd, std::string& into) {
        char buf[65536];
        bool any = false;
        while (fd >= 0) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            into.append(buf, static_cast<size_t>(n));
            any = true;
        }
        return any;
    }

    static bool makePipe(FileDescriptor (&ends)[2]) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        for (int end : {0, 1}) ends[end].reset(fds[end]);
        // Close-on-exec, so a child started later does not hold this child's input open and
        // closing it still reaches this child as end of input.
        for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return true;
    }

    // Waits for output until `deadline`; false when the deadline passed or both pipes ended.
    bool pump(std::chrono::steady_clock::time_point deadline) {
        pollfd fds[2] = {{stdout_.get(), POLLIN, 0}, {stderr_.get(), POLLIN, 0}};
        int r = ::poll(fds, 2, AgentWire::POSIX::millisecondsUntil(deadline));
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) return false;
        bool any = readInto(stdout_.get(), out_);
        any |= readInto(stderr_.get(), err_);
        return any || !((fds[0].revents & (POLLHUP | POLLERR)) && (fds[1].revents & (POLLHUP | POLLERR)));
    }
};

}  // namespace TestSupport
