#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "AgentMCP/ToolCallScan.hpp"
#include "AgentMCP/ToolOutcome.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/LineBuffer.hpp"

namespace AgentMCP {

// The helper's client of the browser's agent socket. Connects lazily on the first call,
// introduces the agent, waits for the owner's approval, then sends one call at a time and
// waits for the result with its id. Reconnects by itself on a later call after the browser
// quit or withdrew access. Every wait is bounded; every failure becomes an error outcome with
// a text for the user.
//
// It never blocks: the serve loop polls `fd()` for `events()`, calls `advance` with what poll
// reported (or nothing once `deadline()` has passed), and gets each call's outcome from there.
class AppLink {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    enum class State { closed, asking, ready };

    // Why a call could not be run.
    struct LinkError {
        enum class Kind { refused, notRunning, stillWaiting, connectionLost, timedOut };
        Kind kind = Kind::notRunning;
        std::string reason;  // refused only

        static LinkError refused(std::string reason) { return {Kind::refused, std::move(reason)}; }
        static LinkError notRunning() { return {Kind::notRunning, {}}; }
        static LinkError stillWaiting() { return {Kind::stillWaiting, {}}; }
        static LinkError connectionLost() { return {Kind::connectionLost, {}}; }
        static LinkError timedOut() { return {Kind::timedOut, {}}; }

        // The whole sentence shown to the user.
        std::string message() const;
        friend bool operator==(const LinkError&, const LinkError&) = default;
    };

    // Opens a connected stream socket to the browser: its descriptor, or the failure.
    using Connect = std::function<std::variant<int, LinkError>()>;
    // Asked before every connection attempt and after a denial: a text means do not
    // connect, show this text instead.
    using Preflight = std::function<std::optional<std::string>()>;

    // The socket calls `unixSocket` makes, so its decisions can be tested without them.
    struct SocketCalls {
        std::function<int()> socket;                                      // a new AF_UNIX stream socket or -1
        std::function<int(int fd, const void* address, unsigned length)> connect;  // 0 or -1
        std::function<void(int fd)> close;
        // Whether the connected peer runs as this process's user. Another user's socket (one
        // left world-writable in a shared folder, say) is not the owner's browser.
        std::function<bool(int fd)> peerIsOwner;
        // The real calls (close-on-exec socket; no SIGPIPE on macOS).
        static SocketCalls live();
    };

    // Longest socket path, in UTF-8 bytes, that every platform's address can hold.
    static constexpr size_t maxSocketPathBytes = 103;

    // What one step of the link brought about.
    struct Step {
        int pendings = 0;                    // pending messages: the owner is still being asked
        std::optional<ToolOutcome> outcome;  // the call ended (never for a cancelled call)
        // A fast call ended with a result in the writer's form: its reply, the content in
        // `replyLine`, the id in the link (until the next start).
        std::optional<ToolCallScan::Reply> reply;
        AgentWire::LineBuffer::Line replyLine;
    };

    AppLink(Connect connect, Preflight preflight, Clock::duration approvalWait, Clock::duration callTimeout,
            Now now = Clock::now);
    ~AppLink();
    AppLink(const AppLink&) = delete;
    AppLink& operator=(const AppLink&) = delete;

    // A `connect` operation for the Unix socket at `path`. A path longer than
    // `maxSocketPathBytes`, empty, or holding a zero byte is `notRunning` without any call; so
    // is a socket whose peer runs as another user.
    static Connect unixSocket(std::string path, SocketCalls calls = SocketCalls::live());

    // Remembered for the next hello; nothing is sent now.
    void clientDidIntroduce(const std::string& name, const std::string& version);

    // Starts a call while none is busy. A failure before anything is sent (a refusal by the
    // preflight, no browser) is the returned outcome; otherwise the outcome comes from `advance`.
    Step start(std::string tool, AgentWire::JSON arguments);
    // `start` for a request the fast road took: the call line is spliced from its spans, and a
    // result in the writer's form ends the call with `Step::reply` instead of an outcome.
    Step start(const ToolCallScan::Request& request);
    // The client gave up on the current call: it gets no outcome. A call not yet sent is
    // dropped; a sent one keeps the link busy until its late result (read and dropped) or its
    // deadline, so the browser still sees one call at a time.
    void cancel();
    // Reacts to what poll reported for `fd()` (0 when only the deadline passed).
    Step advance(short revents);
    // Told after every poll what it found on `fd` (the descriptor polled, -1 if none): when
    // it was this link's and found nothing, a call started before the next poll need not look
    // for stale lines first, which saves a system call on every call.
    void polled(int fd, short revents);

    // The descriptor to poll, or -1; the events to poll it for; when `advance` is due anyway.
    int fd() const;
    short events() const;
    std::optional<Clock::time_point> deadline() const;

    // A call is started and not finished (a cancelled one included).
    bool busy() const { return call_.has_value(); }
    // The current call is on its way to the browser or waiting for its result.
    bool awaitingResult() const { return call_ && phase_ == Phase::awaiting && !call_->cancelled; }
    State state() const { return state_; }
    int64_t lastCallID() const { return lastCallID_; }

private:
    enum class Phase { idle, asking, awaiting };
    struct Call {
        std::string tool;  // the fast road's: the name's JSON text
        AgentWire::JSON arguments;
        std::string argumentsText;  // the fast road's
        bool fast = false;
        int64_t id = 0;
        bool cancelled = false;
    };

    Connect connect_;
    Preflight preflight_;
    Clock::duration approvalWait_;
    Clock::duration callTimeout_;
    Now now_;
    AgentWire::FileDescriptor fd_;
    State state_ = State::closed;
    Phase phase_ = Phase::idle;
    AgentWire::LineBuffer buffer_;
    std::string out_;  // bytes of the line being sent, from outAt_
    size_t outAt_ = 0;
    std::optional<Call> call_;
    Clock::time_point deadline_{};
    std::string clientName_;
    std::string clientVersion_;
    int64_t lastCallID_ = 0;
    std::string requestID_;  // of the last fast call, as written
    bool seenEmpty_ = false;  // the last poll found nothing to read, and nothing was read since

    Step started(Call call);
    void begin(Step& step);
    void drain();
    void sendCall(Step& step);
    void flush(Step& step);
    void readChunk(Step& step);
    void received(AgentWire::AgentMessage& message, Step& step);
    void checkDeadline(Step& step);
    void finish(Step& step, ToolOutcome outcome);
    void fail(Step& step, const LinkError& error);
    void close();
};

}  // namespace AgentMCP
