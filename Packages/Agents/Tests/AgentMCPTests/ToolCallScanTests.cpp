// The fast road of a tool call against the general one: for every request and result shape,
// the same call line and reply bytes, or the fast road refuses and leaves the line to the
// general one.

#include <gtest/gtest.h>

#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/AgentMessage.hpp"

using AgentMCP::ToolOutcome;
using AgentWire::AgentMessage;
using AgentWire::JSON;
namespace ToolCallScan = AgentMCP::ToolCallScan;

namespace {

constexpr int64_t callID = 7;

// The general road: the server routes the request, the App link writes the call line and
// decodes the result line, the server writes the reply.
struct GeneralRoad {
    std::optional<std::string> callLine;
    ToolOutcome outcome;
    std::optional<std::string> reply;

    GeneralRoad(const std::string& request, const std::string& result) {
        AgentMCP::MCPServer server("0.4.1");
        AgentMCP::MCPServer::Handled handled = server.handle(request);
        reply = handled.reply;
        if (!handled.call) return;
        callLine = AgentMessage::call(callID, handled.call->tool, handled.call->arguments).line();
        auto decoded = AgentMessage::decode(std::string_view(result));
        auto* message = std::get_if<AgentMessage>(&decoded);
        auto* answer = message ? message->as<AgentMessage::Result>() : nullptr;
        outcome = answer && answer->id == callID ? ToolOutcome{answer->content, answer->isError}
                                                 : ToolOutcome::error("not the call's result");
        reply = server.callReply(handled.call->id, outcome, handled.call->modern);
    }
};

// Both roads over one request and result line; `fastRequest` and `fastReply` say which
// steps the fast road is expected to take.
void expectSameBytes(const std::string& request, const std::string& result, bool fastRequest, bool fastReply) {
    SCOPED_TRACE(request + "\n" + result);
    GeneralRoad general(request, result);

    auto fast = ToolCallScan::request(request);
    ASSERT_EQ(fast.has_value(), fastRequest);
    if (!fast) return;
    std::string call;
    ToolCallScan::appendCallLine(call, *fast, callID);
    EXPECT_EQ(std::optional<std::string>(call), general.callLine);
    auto fastReplyParts = ToolCallScan::reply(result, callID, fast->id);
    ASSERT_EQ(fastReplyParts.has_value(), fastReply);
    // A result the fast road refuses is decoded, and its reply written around the request's id.
    std::string replied = fastReplyParts ? fastReplyParts->str() : ToolCallScan::replyFor(fast->id, general.outcome);
    EXPECT_EQ(replied, general.reply.value_or("<none>") + "\n");
}

const std::string textResult = AgentMessage::result(callID, {JSON::object({{"type", "text"}, {"text", "a\nb"}})}, false).line();

}  // namespace

TEST(ToolCallScan, RequestsGiveTheGeneralCallLineOrAreRefused) {
    struct Case { std::string line; bool fast; };
    const std::string result = textResult.substr(0, textResult.size() - 1);
    for (const auto& [line, fast] : std::vector<Case>{
             // As agent apps send them: envelope members in any order.
             {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":"https://example.com"}}})", true},
             {R"({"id":5,"method":"tools/call","params":{"name":"anything"}})", true},
             {R"({"id":6,"method":"tools/call","params":{"name":"x","arguments":[1]}})", true},
             {R"({"id":null,"method":"tools/call","params":{"arguments":null,"name":""}})", true},
             {" {\"id\" : \"x\\u001fy\\n\\\"\" ,\"method\": \"tools/call\",\t\"params\" : {\"name\" : \"t\", \"arguments\" : "
              "{\"\":{},\"a\":[1,-2.5,0.1,1e+21,true,false,null],\"b\":{\"c\":\"\xc3\xa9\x7f\\\\\\b\"}}}} ", true},
             {R"({"id":1.5,"method":"tools/call","params":{"name":"x","_meta":{"z":1, "a":2}},"x":{"z":1, "a":2}})", true},
             // Not in the writer's form: the general road sorts, drops spaces, rewrites.
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"url":"a","tab":"b"}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"a": 1}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"a":1,"a":2}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"u":"a\/b"}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"u":"\u0041"}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"u":"\u001F"}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":{"u":"\ud83d\ude00"}}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"x","arguments":[1.0,1E2,-0,10000000000000000000]}})", false},
             {R"({"id":1.50,"method":"tools/call","params":{"name":"x"}})", false},
             {R"({"id":{"b":1,"a":2},"method":"tools/call","params":{"name":"x"}})", false},
             {R"({"id":2,"method":"tools/call","params":{"name":"na\u006de"}})", false},
             // The general road keeps the later of two members, or reads an escaped key.
             {R"({"id":1,"id":2,"method":"tools/call","params":{"name":"x"}})", false},
             {R"({"i\u0064":1,"method":"tools/call","params":{"name":"x"}})", false},
             {R"({"id":1,"method":"tools/call","params":{"name":"x","n\u0061me":"y"}})", false},
             {R"({"id":1,"method":"tools\/call","params":{"name":"x"}})", false},
             // A lone surrogate the general road reads as U+FFFD; the later protocol era's
             // requests, whose replies carry more.
             {R"({"id":1,"method":"tools/call","jsonrpc":"\ud800","params":{"name":"x"}})", false},
             {R"({"id":1,"method":"tools/call","params":{"name":"x","_meta":{"a":1,"io.modelcontextprotocol/protocolVersion":"2025-11-25"}}})", false},
             {R"({"id":1,"method":"tools/call","params":{"name":"x","_meta":{"io.modelcontextprotocol\/protocolVersion":"2025-11-25"}}})", false},
             // Not a tools/call the fast road runs: errors, batches, other methods.
             {R"({"id":1,"method":"tools/call","params":{"name":5}})", false},
             {R"({"id":1,"method":"tools/call"})", false},
             {R"({"method":"tools/call","params":{"name":"x"}})", false},
             {R"([{"id":1,"method":"tools/call","params":{"name":"x"}}])", false},
             {R"({"id":1,"method":"tools/list","params":{"name":"x"}})", false},
             // Not JSON anywhere in the line: the general road's parse error.
             {R"({"id":1,"method":"tools/call","params":{"name":"x"})", false},
             {"{\"id\":1,\"method\":\"tools/call\",\"jsonrpc\":\"\xff\",\"params\":{\"name\":\"x\"}}", false},
             {R"({"id":1,"method":"tools/call","jsonrpc":[01],"params":{"name":"x"}})", false},
             {std::string(300, '[') + std::string(300, ']'), false},
         }) {
        expectSameBytes(line, result, fast, fast);
    }
    // The progress token's member, as written.
    auto withMeta = ToolCallScan::request(R"({"id":1,"method":"tools/call","params":{"_meta":{"progressToken": 3},"name":"x"}})");
    EXPECT_EQ(withMeta ? withMeta->meta : "<refused>", R"({"progressToken": 3})");
}

TEST(ToolCallScan, ResultsGiveTheGeneralReplyOrAreRefused) {
    struct Case { std::string line; bool fast; };
    const std::string request = R"({"jsonrpc":"2.0","id":"r-1","method":"tools/call","params":{"name":"t"}})";
    JSON image = JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", "iVBORw0KGgo="}});
    for (const auto& [line, fast] : std::vector<Case>{
             {textResult.substr(0, textResult.size() - 1), true},
             {AgentMessage::result(callID, {image, JSON(42)}, true).json().data(), true},
             {R"({"type":"result","id":7,"content":[{"text":"x","type":"text"}],"isError":false})", true},
             {R"({"content":[],"id":7,"type":"result"})", true},
             // Left to the general road.
             {R"({"type":"result","id":7})", false},
             {R"({"type":"result","id":7.0,"content":[]})", false},
             {R"({"type":"result","id":7,"content":[{"type":"text","text":"x"}]})", false},
             {R"({"type":"result","id":7,"id":8,"content":[]})", false},
             {R"({"type":"result","id":8,"content":[]})", false},
             {R"({"type":"pending"})", false},
             {R"({"type":"result","id":7,"content":[{"type":"text","text":"a\ud800b"}],"isError":false})", false},
             {R"({"type":"result","id":7,"content":[])", false},
         }) {
        expectSameBytes(request, line, true, fast);
    }
}
