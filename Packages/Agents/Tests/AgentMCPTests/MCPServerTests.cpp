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

TEST_F(MCPServerTest, PingAndIdsEchoedUnchanged) {
    EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":"a","method":"ping"})"), R"({"id":"a","jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(reply(R"({"id":{"x":[1.5]},"method":"ping"})"), R"({"id":{"x":[1.5]},"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(reply(R"({"id":null,"method":"ping"})"), R"({"id":null,"jsonrpc":"2.0","result":{}})");
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
    EXPECT_EQ(server.session(), (MCPSession{"2025-06-18", "other", "", false}));
    EXPECT_EQ(introductions.back(), (std::pair<std::string, std::string>{"other", ""}));
}

TEST_F(MCPServerTest, UnknownOrMissingVersionsAgreeOnTheNewest) {
    for (const char* params : {"", R"(,"params":{"protocolVersion":"2099-01-01"})", R"(,"params":{"protocolVersion":20250326})",
                               R"(,"params":{"protocolVersion":"2024-11-05 "})", R"(,"params":{"clientInfo":"x"})"}) {
        auto r = JSON::parsed(*server.handle(std::string(R"({"id":1,"method":"initialize")") + params + "}").reply);
        EXPECT_EQ(*(*(*r)["result"])["protocolVersion"], JSON("2025-06-18")) << params;
    }
    reply(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})");
    EXPECT_EQ(server.session()->protocolVersion, "2024-11-05");
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
    EXPECT_EQ(MCPServer::callReply(JSON(4), ToolOutcome{{text}, false}),
              R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}],"isError":false}})");
    EXPECT_EQ(MCPServer::callReply(JSON("x"), ToolOutcome{{}, true}),
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

TEST_F(MCPServerTest, ResumeTakesTheSessionAndIntroducesTheClient) {
    MCPSession session{"2025-03-26", "codex", "1.0", true};
    server.resume(session);
    EXPECT_EQ(server.session(), session);
    EXPECT_EQ(introductions, (std::vector<std::pair<std::string, std::string>>{{"codex", "1.0"}}));
}

}  // namespace
