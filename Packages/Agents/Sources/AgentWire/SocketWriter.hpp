#pragma once

#include <sys/types.h>

#include <chrono>
#include <string_view>

#include "AgentWire/POSIX.hpp"

namespace AgentWire {

// Writing whole buffers to a socket without letting a peer that stopped reading block the
// writer forever. A vanished peer never raises SIGPIPE here.
namespace SocketWriter {

using WriteFunction = POSIX::WriteFunction;

// The platform's write for sockets (no SIGPIPE when the peer has gone).
ssize_t socketWrite(int fd, const char* bytes, size_t count);

// Writes all of `data` to the blocking socket `fd`; `deadline` is seconds from now, looked
// at between partial writes (one write blocks as long as the socket lets it). True when every
// byte was written; on false errno is the failed write's.
bool writeAll(int fd, std::string_view data, double deadline, const WriteFunction& write = socketWrite);

enum class WriteStatus { written, timedOut, failed };

// Writes all of `data` to `fd` without ever blocking past `deadline`: waits for room with
// poll and writes only what fits. `failed` when the peer has gone or the socket errs;
// `timedOut` when the deadline passed with bytes left (the stream is then cut mid-message).
WriteStatus writeBefore(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline);

}  // namespace SocketWriter

}  // namespace AgentWire
