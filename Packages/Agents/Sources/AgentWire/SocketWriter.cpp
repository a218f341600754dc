#include "AgentWire/SocketWriter.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "AgentWire/POSIX.hpp"

namespace AgentWire::SocketWriter {

namespace {

// Every send asks for no signal: Linux has no SO_NOSIGPIPE, and on macOS (11 and later) the
// flag keeps the promise even on a socket whose creator did not set SO_NOSIGPIPE.
ssize_t sendOnce(int fd, const char* bytes, size_t count, bool wait) {
    return ::send(fd, bytes, count, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
}

}  // namespace

ssize_t socketWrite(int fd, const char* bytes, size_t count) { return sendOnce(fd, bytes, count, true); }

bool writeAll(int fd, std::string_view data, double deadline, const WriteFunction& write) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(deadline));
    int result = POSIX::writeAll(fd, data, write, [end] { return std::chrono::steady_clock::now() < end; });
    if (result > 0) errno = result;
    return result == 0;
}

WriteStatus writeBefore(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = sendOnce(fd, data.data() + done, data.size() - done, false);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return WriteStatus::failed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return WriteStatus::failed;
        // No room: wait for some, but never past the deadline.
        while (true) {
            pollfd p{fd, POLLOUT, 0};
            int ready = ::poll(&p, 1, POSIX::millisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return WriteStatus::failed;
            if (ready == 0) return WriteStatus::timedOut;
            break;
        }
    }
    return WriteStatus::written;
}

}  // namespace AgentWire::SocketWriter
