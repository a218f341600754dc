// bosken-standin: plays the browser's side of the agent socket for tests, demonstrations
// and benchmarks. Not part of the helper. Prints "ready" once it listens, and "closed N" each
// time it ends connection N itself.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Connection.hpp"
#include "Options.hpp"

namespace {

// The socket path for the signal handler, which may only make async-signal-safe calls.
char socketPathForSignal[sizeof(sockaddr_un::sun_path) + 1];

extern "C" void removeSocketAndExit(int) {
    ::unlink(socketPathForSignal);
    ::_exit(0);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "bosken-standin: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = StandIn::Options::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (auto* error = std::get_if<std::string>(&parsed)) return fail(*error + "\n" + StandIn::usage);
    const auto& options = std::get<StandIn::Options>(parsed);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options.socketPath.size() >= sizeof address.sun_path) return fail("socket path too long: " + options.socketPath);
    std::memcpy(address.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    std::memcpy(socketPathForSignal, options.socketPath.c_str(), options.socketPath.size() + 1);

    int logFD = -1;
    if (!options.logPath.empty()) {
        logFD = ::open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFD < 0) return fail("cannot open log " + options.logPath + ": " + std::strerror(errno));
    }

    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = removeSocketAndExit;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);

    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0) return fail(std::string("socket: ") + std::strerror(errno));
    ::unlink(options.socketPath.c_str());  // a stale file left by an earlier run
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("cannot listen at " + options.socketPath + ": " + std::strerror(errno));
    }
    if (::listen(listener, 16) != 0) return fail(std::string("listen: ") + std::strerror(errno));
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    for (int number = 1;; ++number) {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                --number;
                continue;
            }
            return fail(std::string("accept: ") + std::strerror(errno));
        }
        bool endedHere = StandIn::Connection(options, fd, number, logFD).serve();
        ::close(fd);
        // A test that makes the stand-in close or stop waits for this line before its next
        // call: until the close is done the helper rightly goes on using the connection.
        if (endedHere) {
            std::printf("closed %d\n", number);
            std::fflush(stdout);
        }
    }
}
