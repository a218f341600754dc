// The built helper against the stand-in browser over a real socket, driven through its
// standard input and output as an agent app would.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "AgentMCP/AppLink.hpp"
#include "LinkDriver.hpp"
#include "AgentWire/AgentWire.hpp"
#include "AgentWire/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TempDir.hpp"

using AgentWire::JSON;
using TestSupport::ChildProcess;
using namespace std::chrono_literals;

namespace {

const std::string notRunningText =
    "Bosken isn't running, or agent access is off. The owner turns it on in Bosken \u25b8 Settings \u25b8 General "
    "\u25b8 AI agents.";
const std::string connectionLostText = "Bosken closed the connection (it quit, or agent access was turned off).";

std::string initialize() {
    return R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
           R"("clientInfo":{"name":"e2e-agent","version":"1.0"}}})";
}

std::string toolCall(int id, const std::string& tool, const std::string& arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
           R"(","arguments":)" + arguments + "}}";
}

// The reply the helper writes for a tool call whose outcome is one text item.
std::string textReply(int id, const std::string& text, bool isError) {
    return JSON::object({{"jsonrpc", "2.0"},
                         {"id", id},
                         {"result", JSON::object({{"content", JSON::array({JSON::object({{"type", "text"}, {"text", text}})})},
                                                  {"isError", isError}})}})
        .data();
}

class EndToEnd : public TestSupport::TempDirTest {
protected:
    std::string socket = path("agent.sock");
    std::string log = path("standin.log");

    // Starts the stand-in browser with `options` and waits until it listens.
    std::unique_ptr<ChildProcess> startBrowser(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments = {BOSKEN_STANDIN_EXE, "--socket", socket, "--log", log};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto browser = std::make_unique<ChildProcess>(arguments);
        EXPECT_EQ(browser->readLine(20s), std::optional<std::string>("ready")) << browser->errorOutput();
        return browser;
    }

    void stopBrowser(ChildProcess& browser) const {
        ::kill(browser.pid(), SIGTERM);
        EXPECT_EQ(browser.exitCode(20s), std::optional<int>(0));
        EXPECT_FALSE(std::filesystem::exists(socket)) << "the stand-in left its socket file";
    }

    std::unique_ptr<ChildProcess> startHelper() {
        auto helper = std::make_unique<ChildProcess>(std::vector<std::string>{BOSKEN_MCP_EXE, "--socket", socket});
        EXPECT_TRUE(helper->started());
        return helper;
    }

    static std::string exchange(ChildProcess& helper, const std::string& request, std::chrono::seconds wait = 60s) {
        EXPECT_TRUE(helper.write(request + "\n"));
        return helper.readLine(wait).value_or("<no reply> " + helper.errorOutput());
    }

    // The helper's lines as the stand-in logged them.
    std::vector<std::string> logged() const {
        std::vector<std::string> lines;
        std::istringstream all(TestSupport::readFile(log));
        for (std::string line; std::getline(all, line);) lines.push_back(line);
        return lines;
    }

    // Waits until the stand-in has logged `count` lines from the helper.
    void waitForLogged(size_t count) const {
        for (auto until = std::chrono::steady_clock::now() + 20s; logged().size() < count && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_EQ(logged().size(), count);
    }

    static std::string helloLine() {
        return R"({"client":"e2e-agent","clientVersion":"1.0","type":"hello","version":1})";
    }
    static std::string callLine(int id, const std::string& tool, const std::string& arguments = "{}") {
        return R"({"arguments":)" + arguments + R"(,"id":)" + std::to_string(id) + R"(,"tool":")" + tool +
               R"(","type":"call"})";
    }
};

}  // namespace

TEST_F(EndToEnd, ApprovedSessionRunsTheTools) {
    auto browser = startBrowser({"--pending", "2"});
    auto helper = startHelper();
    exchange(*helper, initialize());
    EXPECT_EQ(exchange(*helper, toolCall(2, "open_tab", R"({"url":"https://example.com"})")),
              textReply(2, "tab-1", false));
    EXPECT_EQ(exchange(*helper, toolCall(3, "screenshot_tab", R"({"tab":"tab-1"})")),
              R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"data":"iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAJklEQVR42mOwyltKEmKgvYYTJ07MIhoAFYM0/CcakKthRDqJJAAA9zumevhUi2gAAAAASUVORK5CYII=","mimeType":"image/png","type":"image"}],"isError":false}})");
    EXPECT_EQ(exchange(*helper, toolCall(4, "close_tab", R"({"tab":"tab-9"})")),
              textReply(4, "No tab \"tab-9\" among your tabs. Use list_agent_tabs to see them.", true));
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(logged(), (std::vector<std::string>{helloLine(), callLine(1, "open_tab", R"({"url":"https://example.com"})"),
                                                   callLine(2, "screenshot_tab", R"({"tab":"tab-1"})"),
                                                   callLine(3, "close_tab", R"({"tab":"tab-9"})")}));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, BrowserNotRunningThenStartedThenRestartedIsFoundEachTimeAndIdsKeepRising) {
    auto helper = startHelper();
    exchange(*helper, initialize());
    EXPECT_EQ(exchange(*helper, toolCall(2, "list_agent_tabs")), textReply(2, notRunningText, true));
    auto browser = startBrowser();
    EXPECT_EQ(exchange(*helper, toolCall(3, "open_tab", R"({"url":"a.example"})")), textReply(3, "tab-1", false));
    stopBrowser(*browser);
    browser = startBrowser();
    // A new browser knows none of the old tabs, and its first tab is tab-1 again.
    EXPECT_EQ(exchange(*helper, toolCall(4, "open_tab", R"({"url":"b.example"})")), textReply(4, "tab-1", false));
    EXPECT_EQ(logged(), (std::vector<std::string>{helloLine(), callLine(1, "open_tab", R"({"url":"a.example"})"),
                                                   helloLine(), callLine(2, "open_tab", R"({"url":"b.example"})")}));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, RefusalsAndBrokenAnswersFailTheCallWithoutHarmingTheHelper) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--deny-reason", "The owner refused e2e-agent."}, "The owner refused e2e-agent."},
        {{"--deny"}, "Bosken refused the connection."},
        {{"--stop-at", "hello", "--stop-reason", "Agent access is off."}, "Agent access is off."},
        {{"--stop-at", "call"}, "The owner stopped agent access."},
        {{"--garbage"}, connectionLostText},
        {{"--close-mid-line"}, connectionLostText},
        {{"--overlong"}, connectionLostText},
    };
    for (const auto& [options, text] : cases) {
        SCOPED_TRACE(options[0]);
        auto browser = startBrowser(options);
        auto helper = startHelper();
        EXPECT_EQ(exchange(*helper, toolCall(7, "list_agent_tabs")), textReply(7, text, true));
        // The helper goes on serving: a request that needs no browser is answered.
        EXPECT_EQ(exchange(*helper, R"({"jsonrpc":"2.0","id":8,"method":"ping"})"), R"({"id":8,"jsonrpc":"2.0","result":{}})");
        stopBrowser(*browser);
    }
}

// The process's resident memory, where the platform tells it (/proc on Linux).
std::optional<size_t> residentBytes(pid_t pid) {
#if defined(__linux__)
    std::istringstream status(TestSupport::readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string key; status >> key;) {
        if (key == "VmRSS:") {
            size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
    }
#else
    (void)pid;
#endif
    return std::nullopt;
}

TEST_F(EndToEnd, AFortyMebibyteResultArrivesWholeAndItsMemoryIsGivenBack) {
    const size_t size = 40u << 20;
    auto browser = startBrowser({"--result-bytes", std::to_string(size)});
    // The sanitizer keeps freed blocks in a quarantine of its own; without it, what stays
    // resident is the helper's.
    ChildProcess::Environment environment;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (auto eq = entry.find('='); eq != std::string::npos) environment[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    environment["ASAN_OPTIONS"] = "quarantine_size_mb=0";
    ChildProcess helper({BOSKEN_MCP_EXE, "--socket", socket}, environment);
    exchange(helper, initialize());
    auto idle = residentBytes(helper.pid());
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
    EXPECT_TRUE(exchange(helper, toolCall(1, "read_page", R"({"tab":"tab-1"})"), 120s) == textReply(1, text, false));
    // Answered after the reply was written, so the call's buffers are gone by then.
    EXPECT_EQ(exchange(helper, R"({"jsonrpc":"2.0","id":2,"method":"ping"})"), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    if (auto after = residentBytes(helper.pid()); idle && after) {
        EXPECT_LT(*after, *idle + size / 4) << "idle " << *idle << ", after the result " << *after;
    }
    stopBrowser(*browser);
}

// The App link itself over the real socket, with time-outs short enough to test.
TEST_F(EndToEnd, AppLinkTimesOutOnASilentBrowser) {
    using AgentMCP::AppLink;
    const std::string timedOut = "Bosken didn't answer in time.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--silent-hello",
         "Waiting for the owner to allow this agent in Bosken (a prompt is showing in the Bosken window). Try again "
         "shortly."},
        {"--silent", timedOut},
        {"--late", timedOut},
    };
    for (const auto& [option, text] : cases) {
        auto browser = startBrowser(option == "--late" ? std::vector<std::string>{option, "400"} : std::vector<std::string>{option});
        AppLink link(AppLink::unixSocket(socket), [] { return std::optional<std::string>(); }, 200ms, 200ms);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TestSupport::runCall(link, "list_agent_tabs", JSON(JSON::Object{})), AgentMCP::ToolOutcome::error(text)) << option;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << option;
        stopBrowser(*browser);
    }
}

namespace {

const std::string serverInfoMeta =
    R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}})";

// The `_meta` of a 2026-07-28 request; `client` names the client when not empty.
std::string modernMeta(const std::string& version = "2026-07-28", const std::string& client = "") {
    std::string meta = R"("_meta":{"io.modelcontextprotocol/protocolVersion":")" + version + "\"";
    if (!client.empty()) meta += R"(,"io.modelcontextprotocol/clientInfo":{"name":")" + client + R"(","version":"2.0"})";
    return meta + R"(,"io.modelcontextprotocol/clientCapabilities":{}})";
}

// A tools/call reply of the 2026-07-28 revision whose outcome is one text item.
std::string modernTextReply(const std::string& id, const std::string& text, bool isError) {
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{)" + serverInfoMeta + R"(,"content":[{"text":)" +
           JSON(text).data() + R"(,"type":"text"}],"isError":)" + (isError ? "true" : "false") +
           R"(,"resultType":"complete"}})";
}

}  // namespace

// The TypeScript client 2.4.0 pinned to 2026-07-28, byte for byte: a probe process, ended at
// once, then the session's own process.
TEST_F(EndToEnd, ModernSessionAsTheTypeScriptClientSendsIt) {
    auto browser = startBrowser();
    const std::string meta = modernMeta("2026-07-28", "ts-agent");
    {
        auto probe = startHelper();
        auto discover = JSON::parsed(exchange(
            *probe, R"({"jsonrpc":"2.0","id":"server-discover-probe-1","method":"server/discover","params":{)" + meta + "}}"));
        ASSERT_TRUE(discover);
        EXPECT_EQ(*(*discover)["id"], JSON("server-discover-probe-1"));
        const JSON& result = *(*discover)["result"];
        EXPECT_EQ(*result["resultType"], JSON("complete"));
        EXPECT_EQ(*result["supportedVersions"], JSON::array({"2026-07-28"}));
        EXPECT_EQ(*result["capabilities"], JSON::object({{"tools", JSON(JSON::Object{})}}));
        EXPECT_EQ(*(*result["_meta"])["io.modelcontextprotocol/serverInfo"],
                  JSON::object({{"name", "bosken"}, {"title", "Bosken"}, {"version", "0.4.1"}}));
        probe->closeStdin();
        EXPECT_EQ(probe->exitCode(20s), std::optional<int>(0));
    }
    EXPECT_TRUE(logged().empty()) << "the probe connected to the browser";

    auto helper = startHelper();
    helper->write(R"({"method":"tools/list","jsonrpc":"2.0","id":0,"params":{)" + meta + "}}\n" +
                  R"({"method":"tools/call","params":{"name":"open_tab","arguments":{"url":"example.com"},)" + meta +
                  R"(},"jsonrpc":"2.0","id":1})" + "\n");
    helper->closeStdin();
    auto list = JSON::parsed(helper->readLine(60s).value_or(""));
    ASSERT_TRUE(list);
    const JSON& listed = *(*list)["result"];
    EXPECT_EQ(listed.object()->size(), 5u);
    EXPECT_EQ(*listed["resultType"], JSON("complete"));
    EXPECT_EQ(*listed["ttlMs"], JSON(0));
    EXPECT_EQ(*listed["cacheScope"], JSON("private"));
    EXPECT_EQ(listed["tools"]->array()->size(), 7u);
    EXPECT_EQ(helper->readLine(60s), std::optional(modernTextReply("1", "tab-1", false)));
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(logged(), (std::vector<std::string>{R"({"client":"ts-agent","clientVersion":"2.0","type":"hello","version":1})",
                                                   callLine(1, "open_tab", R"({"url":"example.com"})")}));
    stopBrowser(*browser);
}

// One process serves a legacy session and modern requests side by side, each in its own shape.
TEST_F(EndToEnd, BothErasInOneProcess) {
    auto browser = startBrowser();
    auto helper = startHelper();
    auto initialized = JSON::parsed(exchange(*helper, initialize()));
    ASSERT_TRUE(initialized);
    EXPECT_EQ(*(*(*initialized)["result"])["protocolVersion"], JSON("2025-06-18"));
    const std::vector<std::pair<std::string, std::string>> exchanges = {
        {R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":"a.example"},)" +
             modernMeta("2026-07-28", "other-agent") + "}}",
         modernTextReply("2", "tab-1", false)},
        {toolCall(3, "close_tab", R"({"tab":"tab-1"})"), textReply(3, "Closed tab-1.", false)},
        {R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"close_tab","arguments":{"tab":"tab-1"},)" +
             modernMeta() + "}}",
         modernTextReply("4", "No tab \"tab-1\" among your tabs. Use list_agent_tabs to see them.", true)},
        {R"({"jsonrpc":"2.0","id":5,"method":"ping","params":{)" + modernMeta() + "}}",
         R"({"error":{"code":-32601,"message":"Method not found: ping"},"id":5,"jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","id":6,"method":"tools/list","params":{)" + modernMeta("2025-11-25") + "}}",
         R"({"error":{"code":-32022,"data":{"requested":"2025-11-25","supported":["2026-07-28","2025-11-25",)"
         R"("2025-06-18","2025-03-26","2024-11-05"]},"message":"Unsupported protocol version: 2025-11-25"},)"
         R"("id":6,"jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", R"({"id":7,"jsonrpc":"2.0","result":{}})"},
    };
    for (const auto& [request, expected] : exchanges) EXPECT_EQ(exchange(*helper, request), expected) << request;
    // The legacy session names the agent to the browser.
    EXPECT_EQ(logged(), (std::vector<std::string>{helloLine(), callLine(1, "open_tab", R"({"url":"a.example"})"),
                                                   callLine(2, "close_tab", R"({"tab":"tab-1"})"),
                                                   callLine(3, "close_tab", R"({"tab":"tab-1"})")}));
    stopBrowser(*browser);
}

// Ids come back exactly as written; a lone surrogate escape, in a request or in the browser's
// result, costs one character and neither the call nor the connection.
TEST_F(EndToEnd, ExactIdsAndLoneSurrogatesComeThroughWhole) {
    auto browser = startBrowser({"--raw-text", R"("a\ud800b")"});
    auto helper = startHelper();
    const std::string replaced = "a\xEF\xBF\xBD" "b";
    for (const std::string id : {"12345678901234567890", R"("req-7")", "-0"}) {
        EXPECT_EQ(exchange(*helper, R"({"jsonrpc":"2.0","id":)" + id +
                                        R"(,"method":"tools/call","params":{"name":"type","arguments":{"text":"x\udc00"}}})"),
                  R"({"id":)" + id +
                      R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" + replaced + R"(","type":"text"}],"isError":false}})");
    }
    EXPECT_EQ(logged(), (std::vector<std::string>{R"({"client":"","clientVersion":"","type":"hello","version":1})",
                                                   callLine(1, "type", "{\"text\":\"x\xEF\xBF\xBD\"}"),
                                                   callLine(2, "type", "{\"text\":\"x\xEF\xBF\xBD\"}"),
                                                   callLine(3, "type", "{\"text\":\"x\xEF\xBF\xBD\"}")}));
    stopBrowser(*browser);
}

// The official TypeScript clients against the helper. Their packages belong to the test tooling
// (`npm ci` in Tools/mcp-clients); without them, or without node, this test is skipped.
TEST_F(EndToEnd, OfficialClientsAgreeOnTheNewestVersions) {
    const std::string clients = BOSKEN_MCP_CLIENTS_DIR;
    if (!std::filesystem::exists(clients + "/node_modules/@modelcontextprotocol/client")) {
        GTEST_SKIP() << "no client packages: run npm ci in " << clients;
    }
    std::string node;
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string directory; node.empty() && std::getline(path, directory, ':');) {
        if (::access((directory + "/node").c_str(), X_OK) == 0) node = directory + "/node";
    }
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

namespace {

std::string ping(int id) { return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})"; }
std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }
std::string cancel(int id) {
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" + std::to_string(id) +
           R"(,"reason":"timed out"}})";
}
std::string openTab(int id, const std::string& address, const std::string& token = "") {
    std::string meta = token.empty() ? "" : R"(,"_meta":{"progressToken":)" + token + "}";
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":")" + address + "\"}" + meta + "}}";
}
std::string progress(const std::string& token, int count, const std::string& message) {
    return R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"message":")" + message +
           R"(","progress":)" + std::to_string(count) + R"(,"progressToken":)" + token + "}}";
}
// The hello of a client that sent no initialize.
const std::string anonymousHello = R"({"client":"","clientVersion":"","type":"hello","version":1})";

std::string canonical(const std::string& line) {
    auto parsed = JSON::parsed(line);
    return parsed ? parsed->data() : line;
}

}  // namespace

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
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    // The stand-in marks anything sent while a call was unanswered.
    EXPECT_EQ(logged(), (std::vector<std::string>{anonymousHello, callLine(1, "open_tab", R"({"url":"a.example"})"),
                                                   callLine(2, "open_tab", R"({"url":"b.example"})")}));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, CancelledCallsGetNoReplyAndAQueuedOneNeverReachesTheBrowser) {
    auto browser = startBrowser({"--late", "600"});
    auto helper = startHelper();
    // 3 is cancelled while queued, 2 while the browser has it; 99 is no request at all.
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n" + openTab(3, "b.example") + "\n"));
    waitForLogged(2);
    ASSERT_TRUE(helper->write(cancel(3) + "\n" + cancel(2) + "\n" + cancel(99) + "\n" + openTab(4, "c.example") + "\n" +
                              ping(5) + "\n"));
    EXPECT_EQ(helper->readLine(), pong(5));
    // The browser did open the first tab; its late result was dropped, and 4 got its own.
    EXPECT_EQ(helper->readLine(), textReply(4, "tab-2", false));
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(helper->output(), "");
    EXPECT_EQ(logged(), (std::vector<std::string>{anonymousHello, callLine(1, "open_tab", R"({"url":"a.example"})"),
                                                   callLine(2, "open_tab", R"({"url":"c.example"})")}));
    stopBrowser(*browser);
}

// A modern client cancels by request id too, its notification carrying `_meta`: nothing more
// is sent for that request, and the browser knows the client by the name its requests give.
TEST_F(EndToEnd, AModernCancellationSilencesItsRequest) {
    auto browser = startBrowser({"--late", "600"});
    auto helper = startHelper();
    const std::string meta = modernMeta("2026-07-28", "ts-agent");
    auto open = [&](int id, const std::string& address, const std::string& token) {
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
               R"(,"method":"tools/call","params":{"name":"open_tab","arguments":{"url":")" + address + "\"}," +
               meta.substr(0, meta.size() - 1) + token + "}}}";
    };
    ASSERT_TRUE(helper->write(open(2, "a.example", R"(,"progressToken":"p")") + "\n"));
    waitForLogged(2);
    ASSERT_TRUE(helper->write(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2,)" +
                              modernMeta() + "}}\n" + open(3, "b.example", "") + "\n" + ping(4) + "\n"));
    EXPECT_EQ(helper->readLine(), pong(4));
    EXPECT_EQ(helper->readLine(), modernTextReply("3", "tab-2", false));
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(helper->output(), "");
    EXPECT_EQ(logged(), (std::vector<std::string>{R"({"client":"ts-agent","clientVersion":"2.0","type":"hello","version":1})",
                                                   callLine(1, "open_tab", R"({"url":"a.example"})"),
                                                   callLine(2, "open_tab", R"({"url":"b.example"})")}));
    stopBrowser(*browser);
}

TEST_F(EndToEnd, ProgressIsNotifiedOnlyForCallsWithAToken) {
    const std::string behind = "Waiting for an earlier Bosken call to finish.";
    const std::string asking = "Waiting for the owner to allow this agent in Bosken.";
    auto browser = startBrowser({"--pending", "3"});
    auto helper = startHelper();
    // 2 has no token: the owner being asked tells it nothing. 3 waits behind it.
    ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n" + openTab(3, "b.example", "7") + "\n"));
    EXPECT_EQ(canonical(helper->readLine().value_or("")), progress("7", 1, behind));
    EXPECT_EQ(helper->readLine(), textReply(2, "tab-1", false));
    EXPECT_EQ(helper->readLine(), textReply(3, "tab-2", false));
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(helper->output(), "");
    // A new client is asked again: each pending message is one notification.
    helper = startHelper();
    ASSERT_TRUE(helper->write(openTab(4, "c.example", "\"a\"") + "\n"));
    for (int count = 1; count <= 3; ++count) {
        EXPECT_EQ(canonical(helper->readLine().value_or("")), progress("\"a\"", count, asking));
    }
    EXPECT_EQ(helper->readLine(), textReply(4, "tab-1", false));
    helper->closeStdin();
    EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
    EXPECT_EQ(helper->output(), "");
    stopBrowser(*browser);
}

TEST_F(EndToEnd, EndOfInputFinishesTheCallAndAGoneReaderEndsTheHelperAtOnce) {
    {
        auto browser = startBrowser({"--late", "300"});
        auto helper = startHelper();
        ASSERT_TRUE(helper->write(openTab(2, "a.example") + "\n"));
        helper->closeStdin();
        EXPECT_EQ(helper->readLine(), textReply(2, "tab-1", false));
        EXPECT_EQ(helper->exitCode(20s), std::optional<int>(0));
        stopBrowser(*browser);
    }
    std::filesystem::remove(log);
    auto browser = startBrowser({"--late", "60000"});
    auto helper = startHelper();
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
    EXPECT_EQ(helper->readLine(),
              textReply(65, "Too many Bosken calls are waiting. Try again when the earlier ones finish.", true));
    stopBrowser(*browser);
}
