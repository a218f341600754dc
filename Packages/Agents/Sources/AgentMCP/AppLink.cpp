#include "AgentMCP/AppLink.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "AgentWire/AgentWire.hpp"
#include "AgentWire/SocketWriter.hpp"

namespace AgentMCP {

using AgentWire::AgentMessage;
using AgentWire::JSON;

namespace {

// One read takes at most this much from the socket.
constexpr size_t readChunk = 256 * 1024;
// Draining between calls gives up after this long, so a browser that floods the socket
// cannot hold a call back; whatever is left is read during the call.
constexpr auto drainLimit = std::chrono::seconds(1);

int pollTimeout(AppLink::Clock::time_point deadline) {
    auto left = deadline - AppLink::Clock::now();
    if (left <= AppLink::Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 2'147'483'647 ? 2'147'483'647 : static_cast<int>(ms);
}

}  // namespace

std::string AppLink::LinkError::message() const {
    switch (kind) {
    case Kind::refused: return reason;
    case Kind::notRunning:
        return "Bosken isn't running, or agent access is off. The owner turns it on in "
               "Bosken ▸ Settings ▸ General ▸ AI agents.";
    case Kind::stillWaiting:
        return "Waiting for the owner to allow this agent in Bosken (a prompt is showing in the Bosken window). "
               "Try again shortly.";
    case Kind::connectionLost: return "Bosken closed the connection (it quit, or agent access was turned off).";
    case Kind::timedOut: return "Bosken didn't answer in time.";
    }
    return {};
}

AppLink::SocketCalls AppLink::SocketCalls::live() {
    SocketCalls calls;
    calls.socket = [] {
        // Close-on-exec, so a re-executed helper never inherits a connection it does not know.
#if defined(__APPLE__)
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
        }
#else
        // No SO_NOSIGPIPE here: every send passes MSG_NOSIGNAL instead.
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        return fd;
    };
    calls.connect = [](int fd, const void* address, unsigned length) {
        return ::connect(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
    };
    calls.close = [](int fd) { ::close(fd); };
    return calls;
}

AppLink::Connect AppLink::unixSocket(std::string path, SocketCalls calls) {
    return [path = std::move(path), calls = std::move(calls)]() -> std::variant<int, LinkError> {
        // An empty path or one with a zero byte would name an abstract socket on Linux, not
        // the file meant.
        if (path.size() > maxSocketPathBytes || path.empty() || path.find('\0') != std::string::npos) {
            return LinkError::notRunning();
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        int fd = calls.socket();
        if (fd < 0) return LinkError::notRunning();
        if (calls.connect(fd, &address, sizeof address) != 0) {
            calls.close(fd);
            return LinkError::notRunning();
        }
        return fd;
    };
}

AppLink::AppLink(Connect connect, Preflight preflight, Clock::duration approvalWait, Clock::duration callTimeout)
    : connect_(std::move(connect)),
      preflight_(std::move(preflight)),
      approvalWait_(approvalWait),
      callTimeout_(callTimeout),
      buffer_(AgentWire::maxResultBytes) {}

AppLink::~AppLink() { close(); }

void AppLink::clientDidIntroduce(const std::string& name, const std::string& version) {
    clientName_ = name;
    clientVersion_ = version;
}

ToolOutcome AppLink::failed(const LinkError& error) {
    if (error.kind == LinkError::Kind::connectionLost || error.kind == LinkError::Kind::timedOut) close();
    return ToolOutcome::error(error.message());
}

std::optional<ToolOutcome> AppLink::ending(AgentMessage& message, int64_t id) {
    if (auto* result = message.as<AgentMessage::Result>(); result && result->id == id) {
        return ToolOutcome{std::move(result->content), result->isError};
    }
    if (auto* denied = message.as<AgentMessage::Denied>()) {
        close();
        return failed(LinkError::refused(denied->reason));
    }
    if (auto* stopped = message.as<AgentMessage::Stopped>()) {
        close();
        return failed(LinkError::refused(stopped->reason));
    }
    // A late result of an abandoned call, or anything else: dropped.
    return std::nullopt;
}

ToolOutcome AppLink::run(const std::string& tool, const JSON& arguments) {
    try {
        if (auto error = ensureReady()) return failed(*error);
        int64_t id = ++lastCallID_;
        // The write shares the call's deadline: a browser that stopped reading cannot block us.
        auto deadline = Clock::now() + callTimeout_;
        if (auto error = send(AgentMessage::call(id, tool, arguments).line(), deadline)) return failed(*error);
        while (true) {
            Received next = receive(deadline);
            if (auto* error = std::get_if<LinkError>(&next)) return failed(*error);
            auto& message = std::get<std::optional<AgentMessage>>(next);
            if (!message) return failed(LinkError::timedOut());
            if (auto outcome = ending(*message, id)) return std::move(*outcome);
            // A browser that keeps sending other lines still cannot keep the call past its deadline.
            if (Clock::now() >= deadline) return failed(LinkError::timedOut());
        }
    } catch (const std::exception&) {
        // Out of memory for a huge line, say: the connection is no longer usable.
        return failed(LinkError::connectionLost());
    }
}

bool AppLink::relay(const ToolCallScan::Request& request, const ReplyWriter& write) {
    auto general = [&](const ToolOutcome& outcome) {
        std::string reply = ToolCallScan::replyFor(request.id, outcome);
        return write(ToolCallScan::Reply{{std::string_view(reply)}});
    };
    try {
        if (auto error = ensureReady()) return general(failed(*error));
        int64_t id = ++lastCallID_;
        auto deadline = Clock::now() + callTimeout_;
        callLine_.clear();
        ToolCallScan::appendCallLine(callLine_, request, id);
        if (auto error = send(callLine_, deadline)) return general(failed(*error));
        while (true) {
            ReceivedLine next = receiveLine(deadline);
            if (auto* error = std::get_if<LinkError>(&next)) return general(failed(*error));
            auto& line = std::get<std::optional<AgentWire::LineBuffer::Line>>(next);
            if (!line) return general(failed(LinkError::timedOut()));
            // The result as it came: the reply's content is written from the receive buffer,
            // whose storage goes back to the system when `line` ends, after the write.
            if (auto reply = ToolCallScan::reply(line->view(), id, request.id)) return write(*reply);
            auto decoded = AgentMessage::decode(line->view());
            auto* message = std::get_if<AgentMessage>(&decoded);
            if (!message) return general(failed(LinkError::connectionLost()));
            if (auto outcome = ending(*message, id)) return general(*outcome);
            if (Clock::now() >= deadline) return general(failed(LinkError::timedOut()));
        }
    } catch (const std::exception&) {
        return general(failed(LinkError::connectionLost()));
    }
}

std::optional<AppLink::LinkError> AppLink::ensureReady() {
    if (state_ == State::ready) drain();
    if (state_ == State::ready) return std::nullopt;
    auto deadline = Clock::now() + approvalWait_;
    if (state_ == State::closed) {
        if (auto text = preflight_()) return LinkError::refused(*text);
        auto connected = connect_();
        if (auto* error = std::get_if<LinkError>(&connected)) return *error;
        fd_ = std::get<int>(connected);
        buffer_ = AgentWire::LineBuffer(AgentWire::maxResultBytes);
        received_.clear();
        state_ = State::asking;
        deadline = Clock::now() + approvalWait_;
        if (auto error = send(AgentMessage::hello(clientName_, clientVersion_).line(), deadline)) return error;
    }
    while (true) {
        Received next = receive(deadline);
        if (auto* error = std::get_if<LinkError>(&next)) return *error;
        auto& message = std::get<std::optional<AgentMessage>>(next);
        // Still undecided: the connection stays open so the next call waits for the same
        // decision without a new hello.
        if (!message) return LinkError::stillWaiting();
        if (message->as<AgentMessage::Welcome>()) {
            state_ = State::ready;
            return std::nullopt;
        }
        if (auto* denied = message->as<AgentMessage::Denied>()) {
            std::string reason = denied->reason;
            close();
            if (auto text = preflight_()) return LinkError::refused(*text);
            return LinkError::refused(reason);
        }
        if (auto* stopped = message->as<AgentMessage::Stopped>()) {
            std::string reason = stopped->reason;
            close();
            return LinkError::refused(reason);
        }
        // Pending and the rest: keep waiting; pending does not extend the deadline.
        if (Clock::now() >= deadline) return LinkError::stillWaiting();
    }
}

void AppLink::drain() {
    auto now = Clock::now();
    auto limit = now + drainLimit;
    while (true) {
        Received next = receive(now);
        if (std::holds_alternative<LinkError>(next)) {
            close();
            return;
        }
        auto& message = std::get<std::optional<AgentMessage>>(next);
        if (!message) return;
        if (message->as<AgentMessage::Stopped>()) {
            close();
            return;
        }
        if (Clock::now() >= limit) return;
    }
}

std::optional<AppLink::LinkError> AppLink::send(std::string_view line, Clock::time_point deadline) {
    using AgentWire::SocketWriter::WriteStatus;
    switch (AgentWire::SocketWriter::writeBefore(fd_, line, deadline)) {
    case WriteStatus::written: return std::nullopt;
    case WriteStatus::timedOut:
        // Part of a line may be on the wire: the stream cannot be used again.
        close();
        return LinkError::timedOut();
    case WriteStatus::failed: close(); return LinkError::connectionLost();
    }
    return std::nullopt;
}

AppLink::Received AppLink::receive(Clock::time_point deadline) {
    ReceivedLine next = receiveLine(deadline);
    if (auto* error = std::get_if<LinkError>(&next)) return *error;
    auto& line = std::get<std::optional<AgentWire::LineBuffer::Line>>(next);
    if (!line) return std::optional<AgentMessage>();
    auto decoded = AgentMessage::decode(line->view());
    if (auto* message = std::get_if<AgentMessage>(&decoded)) return std::optional(std::move(*message));
    close();
    return LinkError::connectionLost();
}

AppLink::ReceivedLine AppLink::receiveLine(Clock::time_point deadline) {
    while (true) {
        if (!received_.empty()) {
            AgentWire::LineBuffer::Line line = std::move(received_.front());
            received_.pop_front();
            return std::optional(std::move(line));
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, pollTimeout(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::optional<AgentWire::LineBuffer::Line>();
        // Read straight into the line buffer: a long line is copied out of the kernel once.
        ssize_t n = ::read(fd_, buffer_.prepare(readChunk), readChunk);
        if (n <= 0) {
            close();
            return LinkError::connectionLost();
        }
        auto lines = buffer_.commit(static_cast<size_t>(n));
        auto* complete = std::get_if<AgentWire::LineBuffer::Lines>(&lines);
        if (!complete) {
            close();
            return LinkError::connectionLost();
        }
        for (auto& line : *complete) received_.push_back(std::move(line));
    }
}

void AppLink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = State::closed;
    received_.clear();
}

}  // namespace AgentMCP
