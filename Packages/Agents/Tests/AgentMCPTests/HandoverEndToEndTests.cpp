// The update hand-over with the real helper and the stand-in browser: the helper's file is
// replaced while it serves, and the next tool call runs in the new program, in the same
// process, with the same MCP session.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "AgentMCP/MCPResume.hpp"
#include "AgentWire/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TempDir.hpp"

namespace {

using AgentWire::JSON;
using TestSupport::ChildProcess;

const std::string beingUpdatedText =
    "Bosken is being updated (bosken-mcp's new program isn't complete yet). Try again in a few seconds.";
const std::string keepsChangingText =
    "bosken-mcp's program keeps changing (3 restarts in a minute), so it stopped restarting itself. Run /mcp to "
    "restart the bosken server once Bosken's update is done.";
const std::string notRunningText =
    "Bosken isn't running, or agent access is off. The owner turns it on in Bosken \u25b8 Settings \u25b8 General "
    "\u25b8 AI agents.";

std::string request(int id, const std::string& method, JSON params = JSON::object({})) {
    return JSON::object({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}}).data() +
           "\n";
}

JSON url(const std::string& address) { return JSON::object({{"url", address}}); }

std::string toolCall(int id, const std::string& tool, JSON arguments = JSON::object({})) {
    return request(id, "tools/call", JSON::object({{"name", tool}, {"arguments", std::move(arguments)}}));
}

std::string openTab(int id, const std::string& address) { return toolCall(id, "open_tab", url(address)); }

// The reply to a tool call whose outcome is one text item.
std::string toolReply(int id, const std::string& text, bool isError) {
    JSON content = JSON::array({JSON::object({{"type", "text"}, {"text", text}})});
    return JSON::object(
               {{"jsonrpc", "2.0"}, {"id", id}, {"result", JSON::object({{"content", content}, {"isError", isError}})}})
        .data();
}

std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }

// The next `count` lines of `child`, sorted: a ping is answered while a call runs.
std::vector<std::string> sortedLines(ChildProcess& child, size_t count) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; ++i) lines.push_back(child.readLine().value_or("<none>"));
    std::sort(lines.begin(), lines.end());
    return lines;
}

// What the browser logs: a client's hello, and an open_tab call.
std::string hello(const std::string& client, const std::string& version) {
    return JSON::object({{"type", "hello"}, {"version", 1}, {"client", client}, {"clientVersion", version}}).data();
}

std::string opened(const std::string& address) {
    return JSON::object({{"type", "call"}, {"id", 1}, {"tool", "open_tab"}, {"arguments", url(address)}}).data();
}

// The lines of a log file, each re-serialized so that member order cannot matter.
std::vector<std::string> logLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(TestSupport::readFile(path));
    for (std::string line; std::getline(text, line);) {
        auto parsed = JSON::parsed(line);
        lines.push_back(parsed ? parsed->data() : line);
    }
    return lines;
}

std::optional<ino_t> inode(const std::string& file) {
    struct stat status;
    if (::stat(file.c_str(), &status) != 0) return std::nullopt;
    return status.st_ino;
}

// The inode the process `pid` runs, to tell which copy of the helper it is.
std::optional<ino_t> runningInode(pid_t pid) { return inode("/proc/" + std::to_string(pid) + "/exe"); }

class HandoverEndToEndTests : public TestSupport::TempDirTest {
protected:
    void SetUp() override {
#if defined(__APPLE__)
        // A signed copy is known by its code hash, so an identical copy is no update there.
        GTEST_SKIP() << "replacing the helper by an identical copy is not an update where code is signed";
#endif
        helper = path("bin/bosken-mcp");
        socket = path("agent.sock");
        browserLog = path("browser.log");
        std::filesystem::create_directories(path("bin"));
        std::filesystem::copy_file(BOSKEN_MCP_EXE, helper);
        ::unsetenv("BOSKEN_MCP_RESUME");
    }

    // Starts the stand-in browser and waits until it listens.
    void startBrowser(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments = {BOSKEN_STANDIN_EXE, "--socket", socket, "--log", browserLog};
        arguments.insert(arguments.end(), options.begin(), options.end());
        browser = std::make_unique<ChildProcess>(arguments);
        EXPECT_EQ(browser->readLine(std::chrono::seconds(10)), "ready");
    }

    std::unique_ptr<ChildProcess> startHelper(std::optional<ChildProcess::Environment> environment = std::nullopt) {
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{helper, "--socket", socket}, environment);
        EXPECT_TRUE(child->started());
        return child;
    }

    // Writes a new copy of the helper beside it and renames it over the old one, as an
    // update does.
    void replaceHelper(std::filesystem::perms mode = std::filesystem::perms(0755)) {
        std::string fresh = path("bin/bosken-mcp.new");
        std::filesystem::copy_file(BOSKEN_MCP_EXE, fresh);
        std::filesystem::permissions(fresh, mode);
        std::filesystem::rename(fresh, helper);
    }

    // Initializes the session as the client "e2e-agent" 3.1.4.
    static void initialize(ChildProcess& child) {
        child.write(
            request(1, "initialize",
                    JSON::object({{"protocolVersion", "2025-03-26"},
                                  {"clientInfo", JSON::object({{"name", "e2e-agent"}, {"version", "3.1.4"}})}})));
        auto reply = child.readLine();
        ASSERT_TRUE(reply.has_value());
        auto parsed = JSON::parsed(*reply);
        ASSERT_TRUE(parsed && (*parsed)["result"]) << *reply;
        child.write(JSON::object({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}).data() + "\n");
    }

    // Ends the helper's input and checks that it ends cleanly without any further reply.
    static void finish(ChildProcess& child) {
        child.closeStdin();
        EXPECT_EQ(child.exitCode(), 0);
        EXPECT_EQ(child.output(), "") << "a reply nobody asked for";
        EXPECT_EQ(child.errorOutput(), "");
    }

    std::string helper, socket, browserLog;
    std::unique_ptr<ChildProcess> browser;
};

TEST_F(HandoverEndToEndTests, ReplacedHelperTakesOverTheSameProcessAndSessionOnceComplete) {
    startBrowser({"--close-after-calls", "1"});
    auto child = startHelper();
    pid_t pid = child->pid();
    initialize(*child);
    child->write(openTab(2, "https://example.com/"));
    EXPECT_EQ(child->readLine(), toolReply(2, "tab-1", false));
    auto firstInode = runningInode(pid);
    ASSERT_EQ(firstInode, inode(helper));

    // The browser has dropped the connection after that call; now an update lands, not yet
    // executable: the call is refused with a text and serving goes on in the same program.
    replaceHelper(std::filesystem::perms(0644));
    ASSERT_NE(inode(helper), firstInode);
    EXPECT_EQ(runningInode(pid), firstInode) << "nothing happens before the next call";
    child->write(toolCall(3, "list_agent_tabs"));
    EXPECT_EQ(child->readLine(), toolReply(3, beingUpdatedText, true));
    child->write(request(4, "ping"));
    EXPECT_EQ(child->readLine(), pong(4));
    EXPECT_EQ(runningInode(pid), firstInode);

    // Once the update is complete the next call moves to it. A queued call and a ping right
    // behind it, in the same write, are already read when the hand-over happens: each is
    // answered once.
    std::filesystem::permissions(helper, std::filesystem::perms(0755));
    child->write(openTab(5, "https://example.org/") + openTab(6, "https://example.net/") + request(7, "ping"));
    EXPECT_EQ(sortedLines(*child, 3),
              (std::vector<std::string>{toolReply(5, "tab-1", false), toolReply(6, "tab-2", false), pong(7)}));

    // Same process (still our child, never reaped), now running the new file.
    EXPECT_EQ(child->pid(), pid);
    EXPECT_EQ(runningInode(pid), inode(helper));

    // The new program introduced the resumed session's client; each call reached the browser
    // once; the earlier copy sent nothing after the update.
    EXPECT_EQ(logLines(browserLog),
              (std::vector<std::string>{hello("e2e-agent", "3.1.4"), opened("https://example.com/"),
                                        hello("e2e-agent", "3.1.4"), opened("https://example.org/"),
                                        JSON::object({{"type", "call"}, {"id", 2}, {"tool", "open_tab"},
                                                      {"arguments", url("https://example.net/")}}).data()}));
    finish(*child);
}

// A client of the 2026-07-28 revision has no session to hand over: after the re-execution the
// same request names it again, and the browser hears its name from there.
TEST_F(HandoverEndToEndTests, ModernClientIsServedAcrossTheHandover) {
    startBrowser({"--close-after-calls", "1"});
    auto child = startHelper();
    pid_t pid = child->pid();
    auto modernCall = [](int id, const std::string& address) {
        JSON meta = JSON::object({{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
                                  {"io.modelcontextprotocol/clientCapabilities", JSON::object({})},
                                  {"io.modelcontextprotocol/clientInfo",
                                   JSON::object({{"name", "modern-agent"}, {"version", "2.0"}})}});
        return request(id, "tools/call",
                       JSON::object({{"name", "open_tab"}, {"arguments", url(address)}, {"_meta", std::move(meta)}}));
    };
    auto isModernTab = [](const std::optional<std::string>& line) {
        auto reply = JSON::parsed(line.value_or(""));
        return reply && *(*(*reply)["result"])["resultType"] == JSON("complete") &&
               (*(*reply)["result"])["content"]->data() == R"([{"text":"tab-1","type":"text"}])";
    };
    child->write(modernCall(1, "https://example.com/"));
    EXPECT_TRUE(isModernTab(child->readLine()));
    replaceHelper();
    child->write(modernCall(2, "https://example.org/"));
    EXPECT_TRUE(isModernTab(child->readLine()));
    EXPECT_EQ(runningInode(pid), inode(helper));
    EXPECT_EQ(logLines(browserLog),
              (std::vector<std::string>{hello("modern-agent", "2.0"), opened("https://example.com/"),
                                        hello("modern-agent", "2.0"), opened("https://example.org/")}));
    finish(*child);
}

TEST_F(HandoverEndToEndTests, FourthReplacementWithinAMinuteStopsTheRestarts) {
    // No browser: every call that is let through ends in the "not running" text, which is
    // enough to see where the hand-over stops.
    auto child = startHelper();
    pid_t pid = child->pid();
    initialize(*child);
    for (int round = 1; round <= 3; ++round) {
        replaceHelper();
        child->write(openTab(10 + round, "https://example.com/"));
        EXPECT_EQ(child->readLine(), toolReply(10 + round, notRunningText, true)) << round;
        EXPECT_EQ(runningInode(pid), inode(helper)) << "relaunch " << round;
    }
    replaceHelper();
    child->write(openTab(20, "https://example.com/"));
    EXPECT_EQ(child->readLine(), toolReply(20, keepsChangingText, true));
    EXPECT_NE(runningInode(pid), inode(helper));
    child->write(request(21, "ping"));
    EXPECT_EQ(child->readLine(), pong(21));
    finish(*child);
}

#if defined(__linux__)
// Linux takes no single environment string over 128 KiB, so a session with a very long client
// name is a real failing execv here (the hand-over limit is 256 KiB).
TEST_F(HandoverEndToEndTests, FailedReexecutionIsReportedAndServingGoesOn) {
    auto child = startHelper();
    pid_t pid = child->pid();
    auto firstInode = runningInode(pid);
    child->write(request(1, "initialize",
                         JSON::object({{"clientInfo", JSON::object({{"name", std::string(140'000, 'n')}})}})));
    ASSERT_TRUE(child->readLine().has_value());

    replaceHelper();
    child->write(openTab(2, "https://example.com/"));
    EXPECT_EQ(child->readLine(), toolReply(2,
                                           "Bosken was updated, and bosken-mcp couldn't restart itself (Argument list "
                                           "too long). Run /mcp to restart the bosken server.",
                                           true));
    EXPECT_EQ(runningInode(pid), firstInode);

    // With a session that fits, the next call moves to the new program: the failed attempt
    // changed nothing.
    child->write(request(3, "initialize", JSON::object({{"clientInfo", JSON::object({{"name", "short"}})}})));
    ASSERT_TRUE(child->readLine().has_value());
    child->write(openTab(4, "https://example.com/"));
    EXPECT_EQ(child->readLine(), toolReply(4, notRunningText, true));
    EXPECT_EQ(runningInode(pid), inode(helper));
    finish(*child);
}
#endif

TEST_F(HandoverEndToEndTests, StartsFromAHandedOverRecord) {
    startBrowser();
    AgentMCP::MCPResume record(AgentMCP::MCPSession{"2025-06-18", "from-record", "9.9", true},
                               openTab(7, "https://example.com/") + request(8, "ping"), helper, {});
    auto environment = ChildProcess::Environment{{"BOSKEN_MCP_RESUME", record.encoded()}};
    if (const char* asan = std::getenv("ASAN_OPTIONS")) environment["ASAN_OPTIONS"] = asan;
    auto child = startHelper(environment);

    // Answered from the handed-over input alone, as the recorded client.
    EXPECT_EQ(sortedLines(*child, 2), (std::vector<std::string>{toolReply(7, "tab-1", false), pong(8)}));
    EXPECT_EQ(logLines(browserLog),
              (std::vector<std::string>{hello("from-record", "9.9"), opened("https://example.com/")}));
    finish(*child);
}

TEST_F(HandoverEndToEndTests, BadRecordsStartAFreshHelper) {
    for (const std::string& text : std::vector<std::string>{
             "garbage", R"({"v":1,"executable":"bin/bosken-mcp","input":"e30K"})",
             R"({"v":1,"executable":"/x","input":"not base64!"})", R"({"v":"1","executable":"/x","input":""})",
             std::string(100'000, '['), std::string(100'000, 'A')}) {
        auto child = startHelper(ChildProcess::Environment{{"BOSKEN_MCP_RESUME", text}});
        child->write(request(1, "ping"));
        EXPECT_EQ(child->readLine(), pong(1)) << text.substr(0, 60);
        finish(*child);
    }
}

}  // namespace
