#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "AgentMCP/ToolOutcome.hpp"

namespace AgentMCP {

// The fast road of one tools/call, beside the general one (MCPServer, AgentMessage, JSON):
// the request line and the browser's result line are each checked in one pass without a
// tree, and the call line and the reply are spliced from their spans. Wherever the text is
// not already in the writer's form, it refuses, and the caller takes the general road,
// which then gives the same bytes as this one would have.
namespace ToolCallScan {

// The parts of a tools/call request the call and its reply need: spans of the request line.
struct Request {
    std::string_view id;         // the request's id, any JSON value
    std::string_view name;       // the tool name, a JSON string with its quotes
    std::string_view arguments;  // the arguments' JSON text; "{}" when the request has none
    std::string_view meta;       // params._meta as written (any form), empty when absent
};

// The spans of `line` when it is a tools/call request (one object, any member order and
// spacing) whose id, tool name and arguments are in the writer's form and whose params._meta
// names no protocol version (the earlier era's requests); nothing otherwise.
std::optional<Request> request(std::string_view line);

// Appends the browser's call line for `request` as call `callID`, line feed included: the
// bytes of AgentMessage::call(...).line().
void appendCallLine(std::string& out, const Request& request, int64_t callID);

// The MCP reply, line feed included, in pieces for one writev: the head with the request's
// id, the content array straight from the result line, the tail.
struct Reply {
    std::array<std::string_view, 5> parts;
    size_t size() const;
    std::string str() const;
};

// The reply to the request with id `requestID` (a `Request::id`) when `line` is the
// browser's result for call `callID` with its content in the writer's form; nothing
// otherwise (any other message, another id, or text to be decoded by the general road).
std::optional<Reply> reply(std::string_view line, int64_t callID, std::string_view requestID);

// The reply, line feed included, to the request with id `requestID` (a `Request::id`) for an
// outcome the general road made: a failure of the link, or a result `reply` refused.
std::string replyFor(std::string_view requestID, const ToolOutcome& outcome);

}  // namespace ToolCallScan

}  // namespace AgentMCP
