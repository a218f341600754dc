// The fast road of a tool call against the general one. The bytes are a request line, a line
// feed and a result line: wherever the fast road takes a step, its call line and reply are
// the general road's bytes (a result it refuses is answered around the request's id); and a
// request the general road writes back in its own form is always taken.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/AgentMessage.hpp"

namespace {

using AgentWire::AgentMessage;
using AgentWire::JSON;
namespace ToolCallScan = AgentMCP::ToolCallScan;

constexpr int64_t callID = 3;

// Whether the fast road must take `value` in the writer's form: it leaves deep nesting and
// keys that need escapes (rare; their order is not judged) to the general road.
bool plainEnough(const JSON& value, int depth = 0) {
    if (depth > 200) return false;
    if (auto* array = value.array()) {
        for (const auto& element : *array) {
            if (!plainEnough(element, depth + 1)) return false;
        }
    }
    if (auto* object = value.object()) {
        for (const auto& member : *object) {
            for (unsigned char c : member.key) {
                if (c == '"' || c == '\\' || c < 0x20) return false;
            }
            if (!plainEnough(member.value, depth + 1)) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    size_t split = bytes.find('\n');
    std::string_view request = bytes.substr(0, split);
    std::string_view result = split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1);

    // The general road: routed by the server, the call line written and the result decoded
    // as the App link does, the reply written by the server.
    AgentMCP::MCPServer server("0.4.1");
    auto handled = server.handle(request);
    std::optional<std::string> callLine, reply = handled.reply;
    AgentMCP::ToolOutcome outcome;
    if (handled.call) {
        callLine = AgentMessage::call(callID, handled.call->tool, handled.call->arguments).line();
        auto decoded = AgentMessage::decode(result);
        auto* message = std::get_if<AgentMessage>(&decoded);
        auto* answer = message ? message->as<AgentMessage::Result>() : nullptr;
        outcome = answer && answer->id == callID ? AgentMCP::ToolOutcome{answer->content, answer->isError}
                                                 : AgentMCP::ToolOutcome::error("not the call's result");
        reply = server.callReply(handled.call->id, outcome, handled.call->modern);
    }

    if (auto fast = ToolCallScan::request(request)) {
        std::string call;
        ToolCallScan::appendCallLine(call, *fast, callID);
        if (!callLine || call != *callLine) std::abort();
        auto parts = ToolCallScan::reply(result, callID, fast->id);
        std::string written = parts ? parts->str() : ToolCallScan::replyFor(fast->id, outcome);
        if (!reply || written != *reply + "\n") std::abort();
        // And the call's result, written back by the general road, is always taken.
        auto decoded = AgentMessage::decode(result);
        auto* message = std::get_if<AgentMessage>(&decoded);
        if (auto* r = message ? message->as<AgentMessage::Result>() : nullptr; r && r->id == callID) {
            std::string canonical = message->json().data();
            auto again = JSON::parsed(canonical);
            if (again && plainEnough(*again) && !ToolCallScan::reply(canonical, callID, fast->id)) std::abort();
        }
    } else if (callLine) {
        // Written back by the general road, the same request is in the writer's form (and left
        // to the general road only when it is of the later protocol era).
        auto parsed = JSON::parsed(request);
        const JSON* meta = parsed && (*parsed)["params"] ? (*(*parsed)["params"])["_meta"] : nullptr;
        bool later = meta && (*meta)["io.modelcontextprotocol/protocolVersion"];
        if (parsed && parsed->object() && plainEnough(*parsed) && !later && !ToolCallScan::request(parsed->data())) {
            std::abort();
        }
    }
    return 0;
}
