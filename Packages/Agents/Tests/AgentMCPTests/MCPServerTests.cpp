#include <gtest/gtest.h>

#include "AgentMCP/MCPServer.hpp"
#include "AgentWire/AgentTools.hpp"

using AgentMCP::MCPServer;
using AgentMCP::MCPSession;
using AgentMCP::ToolOutcome;
using AgentWire::JSON;

namespace {

// Records what the server asked of it and answers with a fixed outcome.
class RecordingRunner : public AgentMCP::AgentToolRunner {
public:
    std::vector<std::pair<std::string, std::string>> introductions;
    std::vector<std::pair<std::string, JSON>> calls;
    ToolOutcome outcome{{JSON::object({{"type", "text"}, {"text", "done"}})}, false};

    void clientDidIntroduce(const std::string& name, const std::string& version) override {
        introductions.emplace_back(name, version);
    }
    ToolOutcome run(const std::string& tool, const JSON& arguments) override {
        calls.emplace_back(tool, arguments);
        return outcome;
    }
};

class MCPServerTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    MCPServer server{runner, "0.4.1"};

    std::string reply(std::string_view line) {
        auto r = server.handle(line);
        return r ? *r : "<none>";
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
    EXPECT_TRUE(runner->calls.empty());
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
    reply(R"({"id":1,"method":"tools/call","params":{"name":"type","arguments":{"text":"a\udc00"}}})");
    EXPECT_EQ(runner->calls.at(0).second, JSON::object({{"text", "a\xEF\xBF\xBD"}}));
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
    EXPECT_EQ(runner->introductions, (std::vector<std::pair<std::string, std::string>>{{"claude-code", "2.1"}}));

    reply(R"({"method":"notifications/initialized"})");
    EXPECT_TRUE(server.session()->initialized);

    // A second initialize starts a new session and introduces the new client.
    reply(R"({"id":2,"method":"initialize","params":{"clientInfo":{"name":"other","version":3}}})");
    EXPECT_EQ(server.session(), (MCPSession{"2025-11-25", "other", "", false}));
    EXPECT_EQ(runner->introductions.back(), (std::pair<std::string, std::string>{"other", ""}));
}

TEST_F(MCPServerTest, UnknownOrMissingVersionsAgreeOnTheNewest) {
    for (const char* params : {"", R"(,"params":{"protocolVersion":"2099-01-01"})", R"(,"params":{"protocolVersion":20250326})",
                               R"(,"params":{"protocolVersion":"2026-07-28"})",
                               R"(,"params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}})",
                               R"(,"params":{"protocolVersion":"2024-11-05 "})", R"(,"params":{"clientInfo":"x"})"}) {
        auto r = JSON::parsed(*server.handle(std::string(R"({"id":1,"method":"initialize")") + params + "}"));
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
              server.handleMessage(*JSON::parsed(R"({"id":[3,"x"],"method":"tools/list"})"))->data());
}

TEST_F(MCPServerTest, ToolsCallPassesNameAndArgumentsUnchecked) {
    EXPECT_EQ(reply(R"({"id":4,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":"x"}}})"),
              R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}],"isError":false}})");
    reply(R"({"id":5,"method":"tools/call","params":{"name":"anything"}})");
    reply(R"({"id":6,"method":"tools/call","params":{"name":"x","arguments":[1]}})");
    ASSERT_EQ(runner->calls.size(), 3u);
    EXPECT_EQ(runner->calls[0], (std::pair<std::string, JSON>{"open_tab", JSON::object({{"url", "x"}})}));
    EXPECT_EQ(runner->calls[1].second, JSON(JSON::Object{}));
    EXPECT_EQ(runner->calls[2].second, JSON::array({1}));

    runner->outcome = ToolOutcome{{}, false};
    EXPECT_EQ(reply(R"({"id":7,"method":"tools/call","params":{"name":"x"}})"),
              R"({"id":7,"jsonrpc":"2.0","result":{"content":[],"isError":false}})");
    runner->outcome = ToolOutcome::error("nope");
    EXPECT_EQ(reply(R"({"id":8,"method":"tools/call","params":{"name":"x"}})"),
              R"({"id":8,"jsonrpc":"2.0","result":{"content":[{"text":"nope","type":"text"}],"isError":true}})");
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
        {modern("tools/call", R"("name":"click","arguments":{"tab":"tab-1"},)"),
         "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{" + serverInfo +
             R"(,"content":[{"text":"done","type":"text"}],"isError":false,"resultType":"complete"}})"},
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
        {R"({"id":9,"method":"tools/call","params":{"name":"click","_meta":{"progressToken":1}}})",
         R"({"id":9,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}],"isError":false}})"},
    };
    for (const auto& c : cases) EXPECT_EQ(reply(c.line), c.reply) << c.line;
    EXPECT_EQ(reply(R"({"method":"notifications/cancelled","params":{"requestId":9,"_meta":)"
                    R"({"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})"),
              "<none>");
    EXPECT_EQ(runner->calls.size(), 2u);
    EXPECT_FALSE(server.session());  // nothing is invented for a client that never initialized
}

TEST_F(MCPServerTest, AModernClientNamesItselfUnlessALegacySessionDoes) {
    const std::string named = R"(,"io.modelcontextprotocol/clientInfo":{"name":"py-agent","version":"0.9"})";
    reply(modern("tools/list", "", named));
    reply(modern("tools/call", R"("name":"x",)", named));
    reply(modern("tools/call", R"("name":"x",)"));
    reply(R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"claude-code","version":"2.1"}}})");
    reply(modern("tools/call", R"("name":"x",)", named));
    EXPECT_EQ(runner->introductions, (std::vector<std::pair<std::string, std::string>>{
                                         {"py-agent", "0.9"}, {"", ""}, {"claude-code", "2.1"}}));
    EXPECT_EQ(server.session()->clientName, "claude-code");
}

TEST_F(MCPServerTest, ResumeTakesTheSessionAndIntroducesTheClient) {
    MCPSession session{"2025-03-26", "codex", "1.0", true};
    server.resume(session);
    EXPECT_EQ(server.session(), session);
    EXPECT_EQ(runner->introductions, (std::vector<std::pair<std::string, std::string>>{{"codex", "1.0"}}));
}

}  // namespace
