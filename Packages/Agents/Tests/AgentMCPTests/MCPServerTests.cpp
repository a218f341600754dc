#include <gtest/gtest.h>

#include "AgentMCP/MCPServer.hpp"
#include "AgentWire/AgentTools.hpp"

using AgentMCP::MCPServer;
using AgentMCP::MCPSession;
using AgentMCP::ToolOutcome;
using AgentWire::JSON;

namespace {

class MCPServerTest : public ::testing::Test {
protected:
    std::vector<std::pair<std::string, std::string>> introductions;
    MCPServer server{"0.4.1", [this](const std::string& name, const std::string& version) {
                         introductions.emplace_back(name, version);
                     }};

    std::string reply(std::string_view line) {
        auto handled = server.handle(line);
        EXPECT_FALSE(handled.call) << line;
        return handled.reply ? *handled.reply : "<none>";
    }
};

TEST_F(MCPServerTest, ErrorRepliesAreExactBytes) {
    struct Case {
        const char* line;
        const char* reply;
    };
    for (auto [line, expected] : std::initializer_list<Case>{
             {"{", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
             {"", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
             {R"({"id":7})", R"({"error":{"code":-32600,"message":"Invalid Request"},"id":7,"jsonrpc":"2.0"})"},
             {R"({"id":"a","method":5})", R"({"error":{"code":-32600,"message":"Invalid Request"},"id":"a","jsonrpc":"2.0"})"},
             {R"({"id":null,"method":"nope"})",
              R"({"error":{"code":-32601,"message":"Method not found: nope"},"id":null,"jsonrpc":"2.0"})"},
             {R"({"id":[1],"method":"notifications/initialized"})",
              R"({"error":{"code":-32601,"message":"Method not found: notifications/initialized"},"id":[1],"jsonrpc":"2.0"})"},
             {R"({"id":1,"method":"tools/call","params":{"name":5}})",
              R"({"error":{"code":-32602,"message":"tools/call needs a tool name"},"id":1,"jsonrpc":"2.0"})"},
             {R"({"id":1,"method":"tools/call"})",
              R"({"error":{"code":-32602,"message":"tools/call needs a tool name"},"id":1,"jsonrpc":"2.0"})"},
         }) {
        EXPECT_EQ(reply(line), expected) << line;
    }
}

TEST_F(MCPServerTest, NoReplyIsDue) {
    for (const char* line : {R"({"method":"ping"})", R"({"method":"initialize"})", R"({"jsonrpc":"2.0"})", "5", "[]",
                             R"([{"method":"a"},{"method":"b"}])", "[3]", "\"text\""}) {
        EXPECT_EQ(reply(line), "<none>") << line;
    }
    EXPECT_FALSE(server.session());  // initialize without an id made no session
}

TEST_F(MCPServerTest, IdsEchoedAsWritten) {
    for (std::string id : {R"("a")", R"({"x":[1.5]})", "null", "12345678901234567890", "-9007199254740993", "1.0",
                           "1e2", "-0", "1e400"}) {
        EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"),
                  R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})");
        EXPECT_EQ(reply(R"({"id":)" + id + R"(,"method":"tools/list"})").substr(0, id.size() + 6), R"({"id":)" + id);
    }
    // A lone surrogate escape, which the grammar allows, reads as U+FFFD instead of failing the request.
    EXPECT_EQ(reply(R"({"id":"r\ud800","method":"ping","params":{"x":"\udfff"}})"),
              "{\"id\":\"r\xEF\xBF\xBD\",\"jsonrpc\":\"2.0\",\"result\":{}}");
    auto call = server.handle(R"({"id":1,"method":"tools/call","params":{"name":"type","arguments":{"text":"a\udc00"}}})").call;
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments, JSON::object({{"text", "a\xEF\xBF\xBD"}}));
}

TEST_F(MCPServerTest, BatchRepliesInOrderWithoutNotifications) {
    EXPECT_EQ(reply(R"([{"id":1,"method":"ping"},{"method":"notifications/initialized"},{"id":2,"method":"x"}])"),
              R"([{"id":1,"jsonrpc":"2.0","result":{}},)"
              R"({"error":{"code":-32601,"message":"Method not found: x"},"id":2,"jsonrpc":"2.0"}])");
}

TEST_F(MCPServerTest, InitializeNegotiatesAndRecordsTheSession) {
    EXPECT_EQ(reply(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
                    R"("clientInfo":{"name":"claude-code","version":"2.1"}}})"),
              R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":)" +
                  JSON(AgentWire::AgentTools::instructions).data() +
                  R"(,"protocolVersion":"2025-03-26","serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}}})");
    EXPECT_EQ(server.session(), (MCPSession{"2025-03-26", "claude-code", "2.1", false}));
    EXPECT_EQ(introductions, (std::vector<std::pair<std::string, std::string>>{{"claude-code", "2.1"}}));

    reply(R"({"method":"notifications/initialized"})");
    EXPECT_TRUE(server.session()->initialized);

    // A second initialize starts a new session and introduces the new client.
    reply(R"({"id":2,"method":"initialize","params":{"clientInfo":{"name":"other","version":3}}})");
    EXPECT_EQ(server.session(), (MCPSession{"2025-11-25", "other", "", false}));
    EXPECT_EQ(introductions.back(), (std::pair<std::string, std::string>{"other", ""}));
}

TEST_F(MCPServerTest, UnknownOrMissingVersionsAgreeOnTheNewest) {
    for (const char* params : {"", R"(,"params":{"protocolVersion":"2099-01-01"})", R"(,"params":{"protocolVersion":20250326})",
                               R"(,"params":{"protocolVersion":"2026-07-28"})",
                               R"(,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}})",
                               R"(,"params":{"protocolVersion":"2024-11-05 "})", R"(,"params":{"clientInfo":"x"})"}) {
        auto r = JSON::parsed(*server.handle(std::string(R"({"id":1,"method":"initialize")") + params + "}").reply);
        EXPECT_EQ(*(*(*r)["result"])["protocolVersion"], JSON("2025-11-25")) << params;
    }
    for (const char* version : {"2024-11-05", "2025-06-18", "2025-11-25"}) {
        reply(std::string(R"({"id":1,"method":"initialize","params":{"protocolVersion":")") + version + "\"}}");
        EXPECT_EQ(server.session()->protocolVersion, version);
    }
}

TEST_F(MCPServerTest, InitializedNotificationWithoutSessionChangesNothing) {
    EXPECT_EQ(reply(R"({"method":"notifications/initialized"})"), "<none>");
    EXPECT_FALSE(server.session());
}

TEST_F(MCPServerTest, ToolsListHasTheCatalogue) {
    auto r = JSON::parsed(reply(R"({"id":3,"method":"tools/list","params":{"cursor":"x"}})"));
    const JSON* result = (*r)["result"];
    ASSERT_TRUE(result);
    EXPECT_EQ(result->object()->size(), 1u);  // no paging cursor
    ASSERT_TRUE((*result)["tools"]->array());
    EXPECT_EQ(*(*result)["tools"]->array(), AgentWire::AgentTools::definitions());
    // The line path and the message path give the same bytes.
    EXPECT_EQ(reply(R"({"id":[3,"x"],"method":"tools/list"})"),
              server.route(*JSON::parsed(R"({"id":[3,"x"],"method":"tools/list"})")).reply->data());
}

TEST_F(MCPServerTest, ToolsCallIsRoutedWithNameArgumentsAndProgressTokenUnchecked) {
    struct Case {
        const char* line;
        MCPServer::ToolCall call;
    };
    const std::vector<Case> cases = {
        {R"({"id":4,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":"x"}}})",
         {JSON(4), "open_tab", JSON::object({{"url", "x"}}), std::nullopt}},
        {R"({"id":"a","method":"tools/call","params":{"name":"anything"}})", {JSON("a"), "anything", JSON(JSON::Object{}), std::nullopt}},
        {R"({"id":6,"method":"tools/call","params":{"name":"x","arguments":[1],"_meta":{"progressToken":"t"}}})",
         {JSON(6), "x", JSON::array({1}), JSON("t")}},
        {R"({"id":7,"method":"tools/call","params":{"name":"x","_meta":{"progressToken":{"k":1}}}})",
         {JSON(7), "x", JSON(JSON::Object{}), JSON::object({{"k", 1}})}},
    };
    for (const auto& c : cases) {
        auto handled = server.handle(c.line);
        ASSERT_TRUE(handled.call) << c.line;
        EXPECT_FALSE(handled.reply);
        EXPECT_EQ(handled.call->id, c.call.id);
        EXPECT_EQ(handled.call->tool, c.call.tool);
        EXPECT_EQ(handled.call->arguments, c.call.arguments);
        EXPECT_EQ(handled.call->progressToken, c.call.progressToken) << c.line;
    }
}

TEST_F(MCPServerTest, CallRepliesCarryTheOutcomeAndCancellationsTheirRequestID) {
    JSON text = JSON::object({{"type", "text"}, {"text", "done"}});
    EXPECT_EQ(server.callReply(JSON(4), ToolOutcome{{text}, false}),
              R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}],"isError":false}})");
    EXPECT_EQ(server.callReply(JSON("x"), ToolOutcome{{}, true}),
              R"({"id":"x","jsonrpc":"2.0","result":{"content":[],"isError":true}})");

    auto cancelled = server.handle(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"r1","reason":"timeout"}})");
    EXPECT_FALSE(cancelled.reply);
    EXPECT_EQ(cancelled.cancelled, std::vector<JSON>{JSON("r1")});
    EXPECT_TRUE(server.handle(R"({"method":"notifications/cancelled","params":{}})").cancelled.empty());

    // A batch holding a tool call comes back whole, nothing in it handled yet.
    auto batch = server.handle(R"([{"id":1,"method":"initialize"},{"id":2,"method":"tools/call","params":{"name":"x"}}])");
    EXPECT_FALSE(batch.reply);
    ASSERT_TRUE(batch.batch);
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
    const std::string serverInfo =
        R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}})";
    const std::string tools = JSON(JSON::Array(AgentWire::AgentTools::definitions().begin(),
                                               AgentWire::AgentTools::definitions().end()))
                                  .data();
    const std::string invalid = R"({"error":{"code":-32602,"message":"Invalid params: _meta needs )";
    struct Case {
        std::string line;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {modern("server/discover"),
         "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo +
             ",\"cacheScope\":\"private\",\"capabilities\":{\"tools\":{}},\"instructions\":" +
             JSON(AgentWire::AgentTools::instructions).data() +
             ",\"resultType\":\"complete\",\"supportedVersions\":[\"2026-07-28\"],\"ttlMs\":0}}"},
        {modern("tools/list", R"("cursor":"x",)"),
         "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo +
             R"(,"cacheScope":"private","resultType":"complete","tools":)" + tools + R"(,"ttlMs":0}})"},
        {modern("tools/call", R"("name":7,)"),
         R"({"error":{"code":-32602,"message":"tools/call needs a tool name"},"id":9,"jsonrpc":"2.0"})"},
        {modern("ping"), R"({"error":{"code":-32601,"message":"Method not found: ping"},"id":9,"jsonrpc":"2.0"})"},
        {modern("resources/list"),
         R"({"error":{"code":-32601,"message":"Method not found: resources/list"},"id":9,"jsonrpc":"2.0"})"},
        {modern("ping", "", "", "\"2025-06-18\""),
         R"({"error":{"code":-32022,"data":{"requested":"2025-06-18","supported":["2026-07-28","2025-11-25",)"
         R"("2025-06-18","2025-03-26","2024-11-05"]},"message":"Unsupported protocol version: 2025-06-18"},)"
         R"("id":9,"jsonrpc":"2.0"})"},
        {modern("tools/list", "", "", "20260728"),
         invalid + R"(a string io.modelcontextprotocol/protocolVersion"},"id":9,"jsonrpc":"2.0"})"},
        {modern("tools/list", "", "", "\"2099-01-01\"", "null"),
         invalid + R"(an object io.modelcontextprotocol/clientCapabilities"},"id":9,"jsonrpc":"2.0"})"},
        {R"({"id":9,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})",
         invalid + R"(an object io.modelcontextprotocol/clientCapabilities"},"id":9,"jsonrpc":"2.0"})"},
        // Without the version key a request is of the initialize era, as before.
        {R"({"id":9,"method":"server/discover","params":{"_meta":{}}})",
         R"({"error":{"code":-32601,"message":"Method not found: server/discover"},"id":9,"jsonrpc":"2.0"})"},
        {modern("tools/call", R"("name":"x",)", "", "\"2099-01-01\""),
         R"({"error":{"code":-32022,"data":{"requested":"2099-01-01","supported":["2026-07-28","2025-11-25",)"
         R"("2025-06-18","2025-03-26","2024-11-05"]},"message":"Unsupported protocol version: 2099-01-01"},)"
         R"("id":9,"jsonrpc":"2.0"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(reply(c.line), c.reply) << c.line;
    EXPECT_EQ(reply(R"({"method":"notifications/cancelled","params":{"requestId":9,"_meta":)"
                    R"({"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})"),
              "<none>");
    EXPECT_FALSE(server.session());  // nothing is invented for a client that never initialized

    // A modern call's reply says so; a legacy one's bytes stay as they were.
    JSON done = JSON::object({{"type", "text"}, {"text", "done"}});
    for (bool isModern : {true, false}) {
        auto call = server.handle(isModern ? modern("tools/call", R"("name":"click",)")
                                           : R"({"id":9,"method":"tools/call","params":{"name":"click","_meta":{}}})")
                        .call;
        ASSERT_TRUE(call);
        EXPECT_EQ(call->modern, isModern);
        EXPECT_EQ(server.callReply(call->id, ToolOutcome{{done}, false}, call->modern),
                  isModern ? "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo +
                                 R"(,"content":[{"text":"done","type":"text"}],"isError":false,"resultType":"complete"}})"
                           : R"({"id":9,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}],"isError":false}})");
    }
    // A batch is answered at once when its era refuses its only tool call, in each element's shape.
    auto batch = server.handle("[" + modern("tools/call", R"("name":"x",)", "", "\"1\"") + "," + modern("tools/list") +
                               R"(,{"id":2,"method":"ping"}])");
    EXPECT_FALSE(batch.batch);
    auto replies = JSON::parsed(*batch.reply);
    ASSERT_TRUE(replies && replies->array() && replies->array()->size() == 3u) << *batch.reply;
    EXPECT_EQ(*(*(*replies->array())[0]["error"])["code"], JSON(-32022));
    EXPECT_EQ(*(*(*replies->array())[1]["result"])["resultType"], JSON("complete"));
    EXPECT_EQ((*replies->array())[2].data(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
}

TEST_F(MCPServerTest, AModernClientNamesItselfUnlessALegacySessionDoes) {
    const std::string named = R"(,"io.modelcontextprotocol/clientInfo":{"name":"py-agent","version":"0.9"})";
    for (const std::string& line : {modern("tools/list", "", named), modern("tools/call", R"("name":"x",)", named),
                                    modern("tools/call", R"("name":"x",)"),
                                    std::string(R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"claude-code","version":"2.1"}}})"),
                                    modern("tools/call", R"("name":"x",)", named)}) {
        server.handle(line);
    }
    EXPECT_EQ(introductions, (std::vector<std::pair<std::string, std::string>>{
                                         {"py-agent", "0.9"}, {"", ""}, {"claude-code", "2.1"}}));
    EXPECT_EQ(server.session()->clientName, "claude-code");
}

TEST_F(MCPServerTest, ResumeTakesTheSessionAndIntroducesTheClient) {
    MCPSession session{"2025-03-26", "codex", "1.0", true};
    server.resume(session);
    EXPECT_EQ(server.session(), session);
    EXPECT_EQ(introductions, (std::vector<std::pair<std::string, std::string>>{{"codex", "1.0"}}));
}

}  // namespace
