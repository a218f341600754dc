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

extern char** environ;

namespace TestSupport {

class ChildProcess {
public:
    using Environment = std::map<std::string, std::string>;

    // Starts `arguments[0]` with the given arguments. `environment` replaces the whole
    // environment when given; otherwise the test's own is inherited.
    ChildProcess(const std::vector<std::string>& arguments, std::optional<Environment> environment = std::nullopt) {
        // A child that exits early must make our writes fail, not kill the test.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);

        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        std::vector<char*> envp;
        if (environment) {
            for (const auto& [k, v] : *environment) envStrings.push_back(k + "=" + v);
            for (auto& s : envStrings) envp.push_back(s.data());
            envp.push_back(nullptr);
        }
        int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(in[1]);
            ::close(out[0]);
            ::close(err[0]);
            return;
        }
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
        ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
    }

    ~ChildProcess() {
        closeStdin();
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int st;
            ::waitpid(pid_, &st, 0);
        }
        if (stdout_ >= 0) ::close(stdout_);
        if (stderr_ >= 0) ::close(stderr_);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Writes all bytes to the child's standard input; false when the pipe broke.
    bool write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    // Closes our end of the child's standard output (the reader goes away).
    void closeStdout() {
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
    }

    // The next line of standard output without its line feed, or nothing after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            auto nl = out_.find('\n');
            if (nl != std::string::npos) {
                std::string line = out_.substr(0, nl);
                out_.erase(0, nl + 1);
                return line;
            }
            if (!pump(deadline)) return std::nullopt;
        }
    }

    // Waits for the child to end (reading its output meanwhile); the wait status, or
    // nothing after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status_) {
            int st;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            pump(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
        }
        drain();
        return status_;
    }

    // Exit status of a normal exit, -signal for a signal, nothing while running.
    std::optional<int> exitCode(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto st = wait(timeout);
        if (!st) return std::nullopt;
        if (WIFEXITED(*st)) return WEXITSTATUS(*st);
        if (WIFSIGNALED(*st)) return -WTERMSIG(*st);
        return std::nullopt;
    }

    // Everything read from standard output and not yet taken by readLine.
    const std::string& output() const { return out_; }
    const std::string& errorOutput() const { return err_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::optional<int> status_;
    std::string out_, err_;

    static bool readInto(int fd, std::string& into) {
        char buf[65536];
        bool any = false;
        while (fd >= 0) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                into.append(buf, static_cast<size_t>(n));
                any = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        return any;
    }

    void drain() {
        readInto(stdout_, out_);
        readInto(stderr_, err_);
    }

    // Waits for output until `deadline`; false when the deadline passed or both pipes ended.
    bool pump(std::chrono::steady_clock::time_point deadline) {
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        int r = ::poll(fds, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) return false;
        bool any = readInto(stdout_, out_);
        any |= readInto(stderr_, err_);
        if (!any && (fds[0].revents & (POLLHUP | POLLERR)) && (fds[1].revents & (POLLHUP | POLLERR))) return false;
        return true;
    }
};

}  // namespace TestSupport
