#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AgentMCP/AppLink.hpp"
#include "AgentMCP/InputLines.hpp"
#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ReplyWriter.hpp"

namespace AgentMCP {

// The helper's one event loop: waits on the client's input, the browser's socket and the
// client's output together. Every request is answered as soon as it is read, except tool
// calls, which wait in a queue and run one at a time on the App link; their replies go out as
// each ends. Cancellations, progress and the end of the client are honoured on the way.
class ServeLoop {
public:
    struct Limits {
        size_t maxCalls = 64;                   // tool calls queued or running
        size_t maxPendingOutput = 4u << 20;     // beyond this, no new input is read and no call starts
        std::chrono::milliseconds stillWaitingEvery = std::chrono::seconds(10);
    };

    static constexpr std::string_view tooManyCallsText =
        "Too many Bosken calls are waiting. Try again when the earlier ones finish.";

    ServeLoop(MCPServer& server, AppLink& link, InputLines& input, ReplyWriter& output, Limits limits);

    // Serves until the client has gone; the exit status.
    int run();

    // What a re-executed helper must read first: the requests not answered yet, in arrival order.
    std::string unhandled() const;
    // A re-execution now would lose nothing: no batch is half answered and no overlong line
    // is being skipped.
    bool mayHandOver() const;

private:
    using Clock = std::chrono::steady_clock;

    // A queued request line: one tool call, or a batch holding one, handled in its turn.
    struct Entry {
        std::string line;
        std::optional<MCPServer::ToolCall> call;  // of the fast road: its id and progress token only
        bool fast = false;                        // `line` is scanned again when the call starts
        AgentWire::JSON::Array batch;
        bool isBatch = false;
        size_t next = 0;                   // batch elements before this are handled
        size_t calls = 0;                  // tool calls in it not yet handled
        std::vector<std::string> replies;  // of the batch so far
        int64_t progress = 0;              // notifications sent for the call
    };
    struct Running {
        AgentWire::JSON id;
        std::optional<AgentWire::JSON> progressToken;
        bool modern = false;
        int64_t progress = 0;
        bool cancelled = false;
        std::optional<Clock::time_point> stillWaitingAt;
        std::string fastID;  // the request's id as written, for a call of the fast road
    };

    MCPServer& server_;
    AppLink& link_;
    InputLines& input_;
    ReplyWriter& output_;
    Limits limits_;
    std::deque<Entry> queue_;
    std::optional<Running> running_;

    void takeLines();
    void enqueue(std::string line, MCPServer::ToolCall call, bool fast = false);
    void enqueue(std::string line, AgentWire::JSON::Array batch);
    void advanceQueue();
    void start(MCPServer::ToolCall call, int64_t progress);
    void startFast(MCPServer::ToolCall call, const std::string& line, int64_t progress);
    void stepped(AppLink::Step step);
    void finishCall(std::optional<std::string> reply);
    void finishBatch();
    void cancel(const AgentWire::JSON& id);
    void checkStillWaiting();
    void notifyProgress(const std::optional<AgentWire::JSON>& token, int64_t& count, std::string_view message);
    size_t callsWaiting() const;
    bool outputFull() const { return output_.pendingBytes() > limits_.maxPendingOutput; }
};

}  // namespace AgentMCP
