#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AgentMCP/MCPSession.hpp"
#include "AgentMCP/ToolOutcome.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentMCP {

// The MCP (JSON-RPC 2.0) server: routes each line to an immediate reply, a tool call for the
// serve loop's queue, or a cancellation, and builds a tool call's reply from its outcome. It
// does no input/output and runs no tool itself.
class MCPServer {
public:
    // The protocol versions agreed in "initialize", newest first; the 2026-07-28 revision has no
    // "initialize" and is served per message (MCPEra).
    static constexpr std::array<std::string_view, 4> protocolVersions = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                                         "2024-11-05"};
    static constexpr std::string_view serverName = "bosken";

    // Told the client's name and version whenever a session is made or resumed.
    using Introduce = std::function<void(const std::string& name, const std::string& version)>;

    // A well-formed "tools/call" request.
    struct ToolCall {
        AgentWire::JSON id;
        std::string tool;
        AgentWire::JSON arguments;
        std::optional<AgentWire::JSON> progressToken;  // params._meta.progressToken
        bool modern = false;                           // of the 2026-07-28 revision: its reply says so
    };

    // What one message asks for: at most one of a reply and a call; a notification may name
    // a request the client gave up on.
    struct Routed {
        std::optional<AgentWire::JSON> reply;
        std::optional<ToolCall> call;
        std::optional<AgentWire::JSON> cancelled;  // params.requestId of notifications/cancelled
    };

    // What one line asks for. A batch holding a tool call is not handled here: it comes back
    // whole in `batch`, to be handled element by element in its turn.
    struct Handled {
        std::optional<std::string> reply;  // serialized, no line terminator
        std::optional<ToolCall> call;
        std::vector<AgentWire::JSON> cancelled;
        std::optional<AgentWire::JSON::Array> batch;
    };

    explicit MCPServer(std::string version, Introduce introduce = {});

    // Takes `session` as the server's own and introduces its client.
    void resume(const MCPSession& session);

    Handled handle(std::string_view line);
    // How a line is read: ids keep their written form (a large integer is no double), and a
    // lone surrogate escape, which the grammar allows, costs one character rather than the request.
    static constexpr AgentWire::JSON::ParseOptions parseOptions{.exactNumbers = true,
                                                                .loneSurrogatesAsReplacement = true};

    // One message (not a batch).
    Routed route(const AgentWire::JSON& message);

    // A request that `route` makes a call of.
    static bool isToolCall(const AgentWire::JSON& message);

    // The serialized reply to the tool call `id` that ended with `outcome`, in the shape of
    // the call's era.
    std::string callReply(const AgentWire::JSON& id, ToolOutcome outcome, bool modern = false) const;

    // A JSON-RPC error response.
    static AgentWire::JSON error(const AgentWire::JSON& id, int code, std::string_view message);

    // The serialized parse-error reply (id null), also given for a line over the input limit.
    static std::string parseError();

    const std::optional<MCPSession>& session() const { return session_; }
    const std::string& version() const { return version_; }

private:
    AgentWire::JSON initialize(const AgentWire::JSON& params);

    std::string version_;
    Introduce introduce_;
    std::optional<MCPSession> session_;
};

}  // namespace AgentMCP
