#include <gtest/gtest.h>

#include "AgentMCP/MCPServer.hpp"
#include "AgentWire/AgentTools.hpp"

using AgentMCP::MCPServer;
using AgentMCP::MCPSession;
using AgentMCP::ToolOutcome;
using AgentWire::JSON;

namespace {

using Introductions = std::vector<std::pair<std::string, std::string>>;

class MCPServerTest : public ::testing::Test {
protected:
    Introductions introductions;
    MCPServer server{"0.4.1", [this](const std::string& name, const std::string& version) {
                         introductions.emplace_back(name, version);
                     }};

    std::string reply(std::string_view line) {
        auto handled = server.handle(line);
        EXPECT_FALSE(handled.call) << line;
        return handled.reply ? *handled.reply : "<none>";
    }
};

std::string notFound(std::string_view method, std::string_view id = "1") {
    return R"({"error":{"code":-32601,"message":"Method not found: )" + std::string(method) + R"("},"id":)" +
           std::string(id) + R"(,"jsonrpc":"2.0"})";
}
const std::string serverInfo = R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}})";
std::string unsupported(const std::string& version) {
    return R"({"error":{"code":-32022,"data":{"requested":")" + version + R"(","supported":["2026-07-28","2025-11-25",)"
           R"("2025-06-18","2025-03-26","2024-11-05"]},"message":"Unsupported protocol version: )" + version + R"("},"id":9,"jsonrpc":"2.0"})";
}

// Replies, or none, by their exact bytes; ids come back as written, a lone surrogate escape
// reading as U+FFFD instead of failing the request.
TEST_F(MCPServerTest, RepliesAreExactBytes) {
    struct Case { std::string line, reply; };
    for (const auto& [line, expected] : std::vector<Case>{
             {"{", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
             {R"({"id":7})", R"({"error":{"code":-32600,"message":"Invalid Request"},"id":7,"jsonrpc":"2.0"})"},
             {R"({"id":"a","method":5})", R"({"error":{"code":-32600,"message":"Invalid Request"},"id":"a","jsonrpc":"2.0"})"},
             {R"({"id":[1],"method":"notifications/initialized"})", notFound("notifications/initialized", "[1]")},
             {R"({"id":1,"method":"tools/lis"})", notFound("tools/lis")}, {R"({"id":1,"method":"Tools/list"})", notFound("Tools/list")},
             {R"({"id":1,"method":"tools/call","params":{"name":5}})",
              R"({"error":{"code":-32602,"message":"tools/call needs a tool name"},"id":1,"jsonrpc":"2.0"})"},
             {R"([{"id":1,"method":"ping"},{"method":"notifications/initialized"},{"id":2,"method":"x"}])",
              R"([{"id":1,"jsonrpc":"2.0","result":{}},)" + notFound("x", "2") + "]"},
             {R"({"id":"r\ud800","method":"ping","params":{"x":"\udfff"}})", "{\"id\":\"r\xEF\xBF\xBD\",\"jsonrpc\":\"2.0\",\"result\":{}}"},
             // No reply is due.
             {R"({"method":"ping"})", "<none>"}, {R"({"method":"initialize"})", "<none>"},
             {"[3]", "<none>"}, {R"([{"method":"a"},{"method":"b"}])", "<none>"},
         })
        EXPECT_EQ(reply(line), expected) << line;
    for (std::string id : {R"({"x":[1.5]})", "12345678901234567890", "-9007199254740993", "1.0", "1e400"})
        EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"), R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})");
    EXPECT_FALSE(server.session());  // initialize without an id made no session
}

TEST_F(MCPServerTest, InitializeNegotiatesAndRecordsTheSession) {
    EXPECT_EQ(reply(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
                    R"("clientInfo":{"name":"claude-code","version":"2.1"}}})"),
              R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":)" +
                  JSON(AgentWire::AgentTools::instructions).data() +
                  R"(,"protocolVersion":"2025-03-26","serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}}})");
    EXPECT_EQ(server.session(), (MCPSession{"2025-03-26", "claude-code", "2.1", false}));
    reply(R"({"method":"notifications/initialized"})");
    EXPECT_TRUE(server.session()->initialized);

    // A second initialize starts a new session and introduces the new client; an unknown or
    // missing version agrees on the newest.
    for (const char* params : {R"({"clientInfo":{"name":"other","version":3}})", R"({"protocolVersion":"2099-01-01"})",
                               R"({"protocolVersion":20250326})", R"({"protocolVersion":"2026-07-28"})", R"({"clientInfo":"x"})"}) {
        reply(std::string(R"({"id":2,"method":"initialize","params":)") + params + "}");
        EXPECT_EQ(server.session()->protocolVersion, "2025-11-25") << params;
    }
    EXPECT_EQ(introductions, (Introductions{{"claude-code", "2.1"}, {"other", ""}, {"", ""}, {"", ""}, {"", ""}, {"", ""}}));
}

// (Its id, name and arguments are checked against the fast road in ToolCallScanTests.)
TEST_F(MCPServerTest, ToolsCallIsRoutedWithItsProgressTokenUnchecked) {
    auto call = server.handle(R"({"id":6,"method":"tools/call","params":{"name":"x","arguments":[1],"_meta":{"progressToken":{"k":1}}}})");
    ASSERT_TRUE(call.call && !call.reply);
    EXPECT_EQ(call.call->progressToken, JSON::object({{"k", 1}}));
    auto cancelled = server.handle(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"r1","reason":"timeout"}})");
    EXPECT_FALSE(cancelled.reply);
    EXPECT_EQ(cancelled.cancelled, std::vector<JSON>{JSON("r1")});
    // A batch holding a tool call comes back whole, nothing in it handled yet.
    auto batch = server.handle(R"([{"id":1,"method":"initialize"},{"id":2,"method":"tools/call","params":{"name":"x"}}])");
    ASSERT_TRUE(batch.batch && !batch.reply);
    EXPECT_EQ(batch.batch->size(), 2u);
    EXPECT_FALSE(server.session());
}

// A request of the 2026-07-28 revision, as its clients write it.
std::string modern(std::string_view method, std::string_view params = "", std::string_view meta = "",
                   std::string_view version = "\"2026-07-28\"", std::string_view capabilities = "{}") {
    return std::string(R"({"jsonrpc":"2.0","id":9,"method":")") + std::string(method) + R"(","params":{)" +
           std::string(params) + R"("_meta":{"io.modelcontextprotocol/protocolVersion":)" + std::string(version) +
           R"(,"io.modelcontextprotocol/clientCapabilities":)" + std::string(capabilities) + std::string(meta) + "}}}";
}

TEST_F(MCPServerTest, ModernRequestsGetTheirOwnShapesAndErrors) {
    const std::string tools = JSON(JSON::Array(AgentWire::AgentTools::definitions().begin(), AgentWire::AgentTools::definitions().end())).data();
    const std::string invalid = R"({"error":{"code":-32602,"message":"Invalid params: _meta needs )";
    struct Case { std::string line, reply; };
    const std::vector<Case> cases = {
        {modern("server/discover"),
         "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo + ",\"cacheScope\":\"private\",\"capabilities\":{\"tools\":{}},\"instructions\":" +
             JSON(AgentWire::AgentTools::instructions).data() + ",\"resultType\":\"complete\",\"supportedVersions\":[\"2026-07-28\"],\"ttlMs\":0}}"},
        {modern("tools/list", R"("cursor":"x",)"),
         "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo + R"(,"cacheScope":"private","resultType":"complete","tools":)" + tools + R"(,"ttlMs":0}})"},
        {modern("ping"), notFound("ping", "9")},
        {modern("ping", "", "", "\"2025-06-18\""), unsupported("2025-06-18")},
        {modern("tools/call", R"("name":"x",)", "", "\"2099-01-01\""), unsupported("2099-01-01")},
        {modern("tools/list", "", "", "20260728"), invalid + R"(a string io.modelcontextprotocol/protocolVersion"},"id":9,"jsonrpc":"2.0"})"},
        {modern("tools/list", "", "", "\"2099-01-01\"", "null"),
         invalid + R"(an object io.modelcontextprotocol/clientCapabilities"},"id":9,"jsonrpc":"2.0"})"},
        // Without the version key a request is of the initialize era, as before.
        {R"({"id":9,"method":"tools/list","params":{"cursor":"x"}})", R"({"id":9,"jsonrpc":"2.0","result":{"tools":)" + tools + "}}"},
        {R"({"id":9,"method":"server/discover","params":{"_meta":{}}})", notFound("server/discover", "9")},
        {R"({"method":"notifications/cancelled","params":{"requestId":9,"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})", "<none>"},
    };
    for (const auto& c : cases) EXPECT_EQ(reply(c.line), c.reply) << c.line;
    EXPECT_FALSE(server.session());  // nothing is invented for a client that never initialized

    // A modern call's reply says so; a legacy one's bytes stay as they were.
    JSON done = JSON::object({{"type", "text"}, {"text", "done"}});
    for (bool isModern : {true, false}) {
        auto call = server.handle(isModern ? modern("tools/call", R"("name":"click",)")
                                           : R"({"id":9,"method":"tools/call","params":{"name":"click","_meta":{}}})").call;
        ASSERT_TRUE(call);
        EXPECT_EQ(server.callReply(call->id, ToolOutcome{{done}, false}, call->modern),
                  "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + (isModern ? serverInfo + "," : "") +
                      R"("content":[{"text":"done","type":"text"}],"isError":false)" + (isModern ? R"(,"resultType":"complete")" : "") + "}}");
    }
    // A batch is answered at once when its era refuses its only tool call, in each element's shape.
    auto batch = server.handle("[" + modern("tools/call", R"("name":"x",)", "", "\"1\"") + "," + modern("tools/list") + R"(,{"id":2,"method":"ping"}])");
    EXPECT_FALSE(batch.batch);
    auto replies = JSON::parsed(*batch.reply);
    ASSERT_TRUE(replies && replies->array() && replies->array()->size() == 3u) << *batch.reply;
    EXPECT_EQ(*(*(*replies->array())[0]["error"])["code"], JSON(-32022));
    EXPECT_EQ(*(*(*replies->array())[1]["result"])["resultType"], JSON("complete"));
    EXPECT_EQ((*replies->array())[2].data(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
}

}  // namespace
