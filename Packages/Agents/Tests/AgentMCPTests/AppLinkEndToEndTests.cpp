// The built helper against the stand-in browser over a real socket, driven through its
// standard input and output as an agent app would.

#include "EndToEnd.hpp"

using AgentWire::JSON;
using namespace EndToEndSupport;

namespace {

const std::string helloLine = hello("e2e-agent", "1.0");

const std::string initialize = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
                               R"("clientInfo":{"name":"e2e-agent","version":"1.0"}}})";
// The `_meta` of a 2026-07-28 request; `client` names the client when not empty.
std::string modernMeta(const std::string& client = "") {
    std::string meta = R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28")";
    if (!client.empty()) meta += R"(,"io.modelcontextprotocol/clientInfo":{"name":")" + client + R"(","version":"2.0"})";
    return meta + R"(,"io.modelcontextprotocol/clientCapabilities":{}})";
}
std::string modernOpenTab(int id, const std::string& address) { return toolCall(id, "open_tab", R"({"url":")" + address + "\"}," + modernMeta("ts-agent")); }
// A tools/call reply of the 2026-07-28 revision whose outcome is one text item.
std::string modernTextReply(int id, const std::string& text, bool isError) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"_meta":{"io.modelcontextprotocol/serverInfo":)"
           R"({"name":"bosken","title":"Bosken","version":"0.4.1"}},"content":[{"text":)" + JSON(text).data() +
           R"(,"type":"text"}],"isError":)" + (isError ? "true" : "false") + R"(,"resultType":"complete"}})";
}

}  // namespace

TEST_F(EndToEnd, TheBrowserIsFoundOnceStartedAndAgainAfterARestartWithIdsRising) {
    auto helper = startHelper();
    exchange(*helper, initialize);
    EXPECT_EQ(exchange(*helper, toolCall(2, "list_agent_tabs")), textReply(2, notRunningText, true));
    auto browser = startBrowser({"--pending", "2"});
    EXPECT_EQ(exchange(*helper, openTab(3, "a.example")), textReply(3, "tab-1", false));
    EXPECT_EQ(exchange(*helper, toolCall(4, "screenshot_tab", R"({"tab":"tab-1"})")),
              R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"data":"iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAJklEQVR42mOwyltKEmKgvYYTJ07MIhoAFYM0/CcakKthRDqJJAAA9zumevhUi2gAAAAASUVORK5CYII=","mimeType":"image/png","type":"image"}],"isError":false}})");
    EXPECT_EQ(exchange(*helper, toolCall(5, "close_tab", R"({"tab":"tab-9"})")),
              textReply(5, "No tab \"tab-9\" among your tabs. Use list_agent_tabs to see them.", true));
    stopBrowser(*browser);
    browser = startBrowser();
    // A new browser knows none of the old tabs, and its first tab is tab-1 again. A request of
    // the 2026-07-28 revision is answered in its own shape, and the session still names the agent.
    EXPECT_EQ(exchange(*helper, modernOpenTab(6, "b.example")), modernTextReply(6, "tab-1", false));
    EXPECT_EQ(logged(), (std::vector<std::string>{helloLine, opened(1, "a.example"), callLine(2, "screenshot_tab", R"({"tab":"tab-1"})"),
                                                   callLine(3, "close_tab", R"({"tab":"tab-9"})"), helloLine, opened(4, "b.example")}));
    stopBrowser(*browser);  // first: started after the helper, it holds a copy of the helper's input
    finish(*helper);
}

TEST_F(EndToEnd, AFortyMebibyteResultArrivesWholeAndItsMemoryIsGivenBack) {
    const size_t size = 40u << 20;
    auto browser = startBrowser({"--result-bytes", std::to_string(size)});
    // The sanitizer keeps freed blocks in a quarantine of its own; without it, what stays
    // resident is the helper's.
    auto helper = startHelper(ChildProcess::Environment{{"ASAN_OPTIONS", "quarantine_size_mb=0"}});
    exchange(*helper, initialize);
    auto idle = memoryBytes(helper->pid(), "VmRSS:");
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
    EXPECT_TRUE(exchange(*helper, toolCall(1, "read_page", R"({"tab":"tab-1"})"), 120s) == textReply(1, text, false));
    // Answered after the reply was written, so the call's buffers are gone by then.
    EXPECT_EQ(exchange(*helper, ping(2)), pong(2));
    if (auto after = memoryBytes(helper->pid(), "VmRSS:"); idle && after)
        EXPECT_LT(*after, *idle + size / 4) << "idle " << *idle << ", after the result " << *after;
    stopBrowser(*browser);
}

// The official TypeScript clients against the helper. Their packages belong to the test tooling
// (`npm ci` in Tools/mcp-clients); without them, or without node, this test is skipped.
TEST_F(EndToEnd, OfficialClientsAgreeOnTheNewestVersions) {
    const std::string clients = BOSKEN_MCP_CLIENTS_DIR;
    if (!std::filesystem::exists(clients + "/node_modules/@modelcontextprotocol/client")) {
        GTEST_SKIP() << "no client packages: run npm ci in " << clients;
    }
    ChildProcess which({"/bin/sh", "-c", "command -v node"});
    std::string node = which.readLine(20s).value_or("");
    if (node.empty()) GTEST_SKIP() << "no node on PATH";
    auto browser = startBrowser();
    ChildProcess run({node, clients + "/clients.mjs", BOSKEN_MCP_EXE, socket});
    EXPECT_EQ(run.exitCode(240s), std::optional<int>(0)) << run.errorOutput();
    EXPECT_EQ(run.output(), "client 2.4.0 legacy: 2025-11-25 legacy tools=7 open_tab=tab-1\n"
                            "client 2.4.0 auto: 2026-07-28 modern tools=7 open_tab=tab-1\n"
                            "client 2.4.0 pin 2026-07-28: 2026-07-28 modern tools=7 open_tab=tab-1\n"
                            "sdk 1.32: 2025-11-25 legacy tools=7 open_tab=tab-1\n");
    stopBrowser(*browser);
}

// MARK: - Serving while a call runs

TEST_F(EndToEnd, RequestsDuringACallAreAnsweredAtOnceAndCallsReachTheBrowserOneAtATime) {
    auto browser = startBrowser({"--late", "600"});
    auto helper = startHelper();
    EXPECT_EQ(exchange(*helper, ping(1)), pong(1));
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n" + openTab(3, "b.example") + "\n"));
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(helper->write(ping(4) + "\n" + R"({"jsonrpc":"2.0","id":5,"method":"tools/list"})" + "\n"));
    EXPECT_EQ(helper->readLine(), pong(4));
    EXPECT_EQ(helper->readLine().value_or("").substr(0, 7), R"({"id":5)");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 300ms) << "not answered while the call runs";
    EXPECT_EQ(helper->readLine(), textReply(2, "tab-1", false));
    EXPECT_EQ(helper->readLine(), textReply(3, "tab-2", false));
    finish(*helper);
    // The stand-in marks anything sent while a call was unanswered.
    EXPECT_EQ(logged(), (std::vector<std::string>{hello("", ""), opened(1, "a.example"), opened(2, "b.example")}));
    stopBrowser(*browser);
}

// A call cancelled while the browser has it gets no reply (a modern client cancels by request id
// too, its notification carrying `_meta`); one cancelled while queued never reaches the browser.
TEST_F(EndToEnd, CancelledCallsGetNoReplyAndAQueuedOneNeverReachesTheBrowser) {
    auto browser = startBrowser({"--late", "600"});
    auto helper = startHelper();
    ASSERT_TRUE(helper->write(modernOpenTab(2, "a.example") + "\n" + openTab(3, "b.example") + "\n"));
    waitForLogged(2);
    auto cancel = [](int id, const std::string& meta) {
        return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{)" + meta + R"("requestId":)" + std::to_string(id) + "}}\n";
    };
    ASSERT_TRUE(helper->write(cancel(3, "") + cancel(2, modernMeta() + ",") + cancel(99, "") + openTab(4, "c.example") + "\n" + ping(5) + "\n"));
    EXPECT_EQ(helper->readLine(), pong(5));
    // The browser did open the first tab; its late result was dropped, and 4 got its own.
    EXPECT_EQ(helper->readLine(), textReply(4, "tab-2", false));
    finish(*helper);
    EXPECT_EQ(logged(), (std::vector<std::string>{hello("ts-agent", "2.0"), opened(1, "a.example"), opened(2, "c.example")}));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, ProgressIsNotifiedOnlyForCallsWithAToken) {
    auto progress = [](const std::string& token, int count, const std::string& message) {
        return R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"message":")" + message +
               R"(","progress":)" + std::to_string(count) + R"(,"progressToken":)" + token + "}}";
    };
    auto canonical = [](const std::optional<std::string>& line) { return JSON::parsed(line.value_or(""))->data(); };
    auto browser = startBrowser({"--pending", "3"});
    auto helper = startHelper();
    // 2 has no token: the owner being asked tells it nothing. 3 waits behind it.
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n" + openTab(3, "b.example", "7") + "\n"));
    EXPECT_EQ(canonical(helper->readLine()), progress("7", 1, "Waiting for an earlier Bosken call to finish."));
    EXPECT_EQ(helper->readLine(), textReply(2, "tab-1", false));
    EXPECT_EQ(helper->readLine(), textReply(3, "tab-2", false));
    finish(*helper);
    // A new client is asked again: each pending message is one notification.
    helper = startHelper();
    ASSERT_TRUE(helper->write(openTab(4, "c.example", "\"a\"") + "\n"));
    for (int count = 1; count <= 3; ++count) {
        EXPECT_EQ(canonical(helper->readLine()), progress("\"a\"", count, "Waiting for the owner to allow this agent in Bosken."));
    }
    EXPECT_EQ(helper->readLine(), textReply(4, "tab-1", false));
    finish(*helper);
    stopBrowser(*browser);
}

TEST_F(EndToEnd, EndOfInputFinishesTheCallAndAGoneReaderEndsTheHelperAtOnce) {
    auto browser = startBrowser({"--late", "300"});
    auto helper = startHelper();
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n"));
    helper->closeStdin();
    EXPECT_EQ(helper->readLine(), textReply(2, "tab-1", false));
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    stopBrowser(*browser);

    std::filesystem::remove(log);
    browser = startBrowser({"--late", "60000"});
    helper = startHelper();
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n"));
    // Once the browser has the call, the client stops reading.
    waitForLogged(2);
    helper->closeStdout();
    EXPECT_EQ(helper->exitCode(1s), std::optional<int>(0));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, TheSixtyFifthWaitingCallIsRefused) {
    auto browser = startBrowser({"--silent-hello"});  // the first call waits for the owner
    auto helper = startHelper();
    std::string calls;
    for (int id = 1; id <= 65; ++id) calls += openTab(id, "a.example") + "\n";
    ASSERT_TRUE(helper->write(calls));
    EXPECT_EQ(helper->readLine(), textReply(65, "Too many Bosken calls are waiting. Try again when the earlier ones finish.", true));
    stopBrowser(*browser);
}
