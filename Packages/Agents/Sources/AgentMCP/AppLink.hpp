#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "AgentMCP/AgentToolRunner.hpp"
#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/LineBuffer.hpp"

namespace AgentMCP {

// The helper's client of the browser's agent socket and the MCP server's tool runner.
// Connects lazily on the first call, introduces the agent, waits for the owner's approval,
// then sends one call at a time and waits for the result with its id. Reconnects by itself
// on a later call after the browser quit or withdrew access. Every wait is bounded; every
// failure becomes an error outcome with a text for the user.
class AppLink : public AgentToolRunner {
public:
    using Clock = std::chrono::steady_clock;

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
        // The real calls (close-on-exec socket; no SIGPIPE on macOS).
        static SocketCalls live();
    };

    // Longest socket path, in UTF-8 bytes, that every platform's address can hold.
    static constexpr size_t maxSocketPathBytes = 103;

    AppLink(Connect connect, Preflight preflight, Clock::duration approvalWait, Clock::duration callTimeout);
    ~AppLink() override;
    AppLink(const AppLink&) = delete;
    AppLink& operator=(const AppLink&) = delete;

    // A `connect` operation for the Unix socket at `path`. A path longer than
    // `maxSocketPathBytes`, empty, or holding a zero byte is `notRunning` without any call.
    static Connect unixSocket(std::string path, SocketCalls calls = SocketCalls::live());

    // Remembered for the next hello; nothing is sent now.
    void clientDidIntroduce(const std::string& name, const std::string& version) override;
    // Runs one call on the browser; never throws, every failure is an error outcome.
    ToolOutcome run(const std::string& tool, const AgentWire::JSON& arguments) override;

    // Writes one reply's pieces to the client; false when it could not.
    using ReplyWriter = std::function<bool(const ToolCallScan::Reply&)>;
    // `run` for a request the fast road took: the call line is spliced from its spans and the
    // reply goes to `write`, its content straight from the receive buffer when the result is
    // in the writer's form, else written around the request's id. Returns what `write` did.
    bool relay(const ToolCallScan::Request& request, const ReplyWriter& write);

    State state() const { return state_; }
    int64_t lastCallID() const { return lastCallID_; }

private:
    using Received = std::variant<std::optional<AgentWire::AgentMessage>, LinkError>;
    using ReceivedLine = std::variant<std::optional<AgentWire::LineBuffer::Line>, LinkError>;

    Connect connect_;
    Preflight preflight_;
    Clock::duration approvalWait_;
    Clock::duration callTimeout_;
    int fd_ = -1;
    State state_ = State::closed;
    AgentWire::LineBuffer buffer_;
    std::deque<AgentWire::LineBuffer::Line> received_;
    std::string clientName_;
    std::string clientVersion_;
    int64_t lastCallID_ = 0;
    std::string callLine_;  // reused for every fast-road call

    std::optional<LinkError> ensureReady();
    void drain();
    // The error outcome for `error`, closing the connection when it can no longer be used.
    ToolOutcome failed(const LinkError& error);
    // The outcome when `message` ends call `id` (its result, a denial, a stop); else nothing.
    std::optional<ToolOutcome> ending(AgentWire::AgentMessage& message, int64_t id);
    std::optional<LinkError> send(std::string_view line, Clock::time_point deadline);
    // The next message, nothing when `deadline` passed first, or the failure.
    Received receive(Clock::time_point deadline);
    // The next line as received, nothing when `deadline` passed first, or the failure.
    ReceivedLine receiveLine(Clock::time_point deadline);
    void close();
};

}  // namespace AgentMCP
