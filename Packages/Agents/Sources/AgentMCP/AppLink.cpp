#include "AgentMCP/AppLink.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "AgentWire/AgentWire.hpp"

namespace AgentMCP {

using AgentWire::AgentMessage;
using AgentWire::JSON;

namespace {

// One read takes at most this much from the socket.
constexpr size_t readBytes = 256 * 1024;
// Draining between calls gives up after this long, so a browser that floods the socket
// cannot hold a call back; whatever is left is read during the call.
constexpr auto drainLimit = std::chrono::seconds(1);

// Writes what fits now, never waiting and never raising SIGPIPE.
ssize_t sendNow(int fd, const char* bytes, size_t count) {
#if defined(__APPLE__)
    return ::send(fd, bytes, count, MSG_DONTWAIT);  // the socket has SO_NOSIGPIPE
#else
    return ::send(fd, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
#endif
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
        // macOS gives Unix sockets 8 KiB buffers, which would make a result of tens of MiB
        // thousands of round trips between the browser and us. Larger ones are asked for;
        // where the system caps them (Linux), its limit holds, and a refusal only costs speed.
        if (fd >= 0) {
            int receive = 4 << 20, send = 1 << 20;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, sizeof send);
        }
        return fd;
    };
    calls.connect = [](int fd, const void* address, unsigned length) {
        return ::connect(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
    };
    calls.close = [](int fd) { ::close(fd); };
    calls.peerIsOwner = [](int fd) {
#if defined(__APPLE__)
        uid_t user = 0;
        gid_t group = 0;
        if (::getpeereid(fd, &user, &group) != 0) return false;
#else
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
        uid_t user = credentials.uid;
#endif
        return user == ::geteuid();
    };
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
        if (calls.connect(fd, &address, sizeof address) != 0 || !calls.peerIsOwner(fd)) {
            calls.close(fd);
            return LinkError::notRunning();
        }
        return fd;
    };
}

AppLink::AppLink(Connect connect, Preflight preflight, Clock::duration approvalWait, Clock::duration callTimeout,
                 Now now)
    : connect_(std::move(connect)),
      preflight_(std::move(preflight)),
      approvalWait_(approvalWait),
      callTimeout_(callTimeout),
      now_(std::move(now)),
      buffer_(AgentWire::maxResultBytes) {}

AppLink::~AppLink() { close(); }

void AppLink::clientDidIntroduce(const std::string& name, const std::string& version) {
    clientName_ = name;
    clientVersion_ = version;
}

AppLink::Step AppLink::start(std::string tool, JSON arguments) {
    return started(Call{std::move(tool), std::move(arguments), {}, false});
}

AppLink::Step AppLink::start(const ToolCallScan::Request& request) {
    requestID_ = request.id;
    return started(Call{std::string(request.name), JSON(), std::string(request.arguments), true});
}

AppLink::Step AppLink::started(Call call) {
    Step step;
    call_ = std::move(call);
    try {
        begin(step);
    } catch (const std::exception&) {
        // Out of memory for a huge line, say: the connection is no longer usable.
        fail(step, LinkError::connectionLost());
    }
    return step;
}

void AppLink::begin(Step& step) {
    if (state_ == State::ready) drain();
    if (state_ == State::ready) return sendCall(step);
    phase_ = Phase::asking;
    deadline_ = now_() + approvalWait_;
    if (state_ == State::asking) return;  // the same decision is still awaited: no new hello
    if (auto text = preflight_()) return finish(step, ToolOutcome::error(LinkError::refused(*text).message()));
    auto connected = connect_();
    if (auto* error = std::get_if<LinkError>(&connected)) return fail(step, *error);
    fd_.reset(std::get<int>(connected));
    buffer_ = AgentWire::LineBuffer(AgentWire::maxResultBytes);
    state_ = State::asking;
    deadline_ = now_() + approvalWait_;
    out_ = AgentMessage::hello(clientName_, clientVersion_).line();
    outAt_ = 0;
    flush(step);
}

void AppLink::cancel() {
    if (!call_) return;
    // Not sent yet: nothing to wait for. The connection stays as it is for the next call.
    if (phase_ != Phase::awaiting) {
        call_.reset();
        phase_ = Phase::idle;
        return;
    }
    call_->cancelled = true;
}

AppLink::Step AppLink::advance(short revents) {
    Step step;
    try {
        if (fd_ && (revents & POLLOUT) && outAt_ < out_.size()) flush(step);
        if (fd_ && (revents & (POLLIN | POLLHUP | POLLERR))) readChunk(step);
        checkDeadline(step);
    } catch (const std::exception&) {
        fail(step, LinkError::connectionLost());
    }
    return step;
}

void AppLink::polled(int fd, short revents) { seenEmpty_ = fd >= 0 && fd == fd_.get() && revents == 0; }

int AppLink::fd() const {
    // Between calls while the owner decides, nothing is read: the decision waits in the socket
    // for the next call, as it would if the helper were not looking.
    if (state_ == State::asking && !call_) return -1;
    return fd_.get();
}

short AppLink::events() const {
    if (fd() < 0) return 0;
    return static_cast<short>(POLLIN | (outAt_ < out_.size() ? POLLOUT : 0));
}

std::optional<AppLink::Clock::time_point> AppLink::deadline() const {
    if (!call_ || phase_ == Phase::idle) return std::nullopt;
    return deadline_;
}

void AppLink::drain() {
    // A line that arrived since that poll is read during the call, as one that arrives
    // just after a drain would be.
    if (std::exchange(seenEmpty_, false)) return;
    auto limit = now_() + drainLimit;
    while (state_ == State::ready) {
        pollfd p{fd_.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        Step ignored;
        readChunk(ignored);
        if (now_() >= limit) return;
    }
}

void AppLink::sendCall(Step& step) {
    int64_t id = ++lastCallID_;
    call_->id = id;
    phase_ = Phase::awaiting;
    // The write shares the call's deadline: a browser that stopped reading cannot block us.
    deadline_ = now_() + callTimeout_;
    if (call_->fast) {
        out_.clear();
        ToolCallScan::appendCallLine(out_, {{}, call_->tool, call_->argumentsText, {}}, id);
    } else {
        out_ = AgentMessage::call(id, call_->tool, std::move(call_->arguments)).line();
    }
    outAt_ = 0;
    flush(step);
}

void AppLink::flush(Step& step) {
    while (outAt_ < out_.size()) {
        ssize_t n = sendNow(fd_.get(), out_.data() + outAt_, out_.size() - outAt_);
        if (n > 0) {
            outAt_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest when poll says so
        return fail(step, LinkError::connectionLost());
    }
    out_.clear();
    outAt_ = 0;
}

void AppLink::readChunk(Step& step) {
    seenEmpty_ = false;
    // Read straight into the line buffer: a long line is copied out of the kernel once.
    ssize_t n = ::read(fd_.get(), buffer_.prepare(readBytes), readBytes);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) return fail(step, LinkError::connectionLost());
    auto lines = buffer_.commit(static_cast<size_t>(n));
    auto* complete = std::get_if<AgentWire::LineBuffer::Lines>(&lines);
    if (!complete) return fail(step, LinkError::connectionLost());
    for (auto& line : *complete) {
        // The fast road: the result as it came, its content written from this line's storage.
        if (call_ && call_->fast && !call_->cancelled && phase_ == Phase::awaiting) {
            if (auto reply = ToolCallScan::reply(line.view(), call_->id, requestID_)) {
                step.reply = *reply;
                step.replyLine = std::move(line);
                call_.reset();
                phase_ = Phase::idle;
                continue;
            }
        }
        auto decoded = AgentMessage::decode(line.view());
        auto* message = std::get_if<AgentMessage>(&decoded);
        if (!message) return fail(step, LinkError::connectionLost());
        received(*message, step);
        if (!fd_) return;  // what followed a stop or a refusal is of no use
        // A browser that keeps sending lines still cannot keep a call past its deadline.
        checkDeadline(step);
    }
}

void AppLink::received(AgentMessage& message, Step& step) {
    if (phase_ == Phase::asking) {
        if (message.as<AgentMessage::Welcome>()) {
            state_ = State::ready;
            return sendCall(step);
        }
        if (auto* denied = message.as<AgentMessage::Denied>()) {
            std::string reason = denied->reason;
            close();
            if (auto text = preflight_()) reason = *text;
            return finish(step, ToolOutcome::error(LinkError::refused(reason).message()));
        }
        if (message.as<AgentMessage::Pending>()) ++step.pendings;
    } else if (phase_ == Phase::awaiting) {
        if (auto* result = message.as<AgentMessage::Result>(); result && result->id == call_->id) {
            return finish(step, ToolOutcome{std::move(result->content), result->isError});
        }
        if (auto* denied = message.as<AgentMessage::Denied>()) {
            std::string reason = denied->reason;
            close();
            return finish(step, ToolOutcome::error(LinkError::refused(reason).message()));
        }
    }
    if (auto* stopped = message.as<AgentMessage::Stopped>()) {
        std::string reason = stopped->reason;
        close();
        if (call_ && phase_ != Phase::idle) finish(step, ToolOutcome::error(LinkError::refused(reason).message()));
    }
    // Anything else (pending while ready, a late result of an abandoned call): dropped.
}

void AppLink::checkDeadline(Step& step) {
    if (!call_ || phase_ == Phase::idle || now_() < deadline_) return;
    // Part of a line may be on the wire: the stream cannot be used again.
    if (outAt_ < out_.size() || phase_ == Phase::awaiting) return fail(step, LinkError::timedOut());
    // Still undecided: the connection stays open so the next call waits for the same decision
    // without a new hello.
    finish(step, ToolOutcome::error(LinkError::stillWaiting().message()));
}

void AppLink::finish(Step& step, ToolOutcome outcome) {
    if (call_ && !call_->cancelled) step.outcome = std::move(outcome);
    call_.reset();
    phase_ = Phase::idle;
}

void AppLink::fail(Step& step, const LinkError& error) {
    if (error.kind == LinkError::Kind::connectionLost || error.kind == LinkError::Kind::timedOut) close();
    // Between calls (draining before one), a failure only closes.
    if (call_ && phase_ != Phase::idle) finish(step, ToolOutcome::error(error.message()));
}

void AppLink::close() {
    fd_.reset();
    seenEmpty_ = false;
    state_ = State::closed;
    out_.clear();
    outAt_ = 0;
}

}  // namespace AgentMCP
