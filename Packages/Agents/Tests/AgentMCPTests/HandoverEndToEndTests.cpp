// The update hand-over with the real helper and the stand-in browser: the helper's file is
// replaced while it serves, and the next tool call runs in the new program, in the same
// process, with the same MCP session.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "EndToEnd.hpp"

namespace {

using namespace EndToEndSupport;

std::optional<ino_t> inode(const std::string& file) {
    struct stat status;
    return ::stat(file.c_str(), &status) == 0 ? std::optional<ino_t>(status.st_ino) : std::nullopt;
}

// The inode the process `pid` runs, to tell which copy of the helper it is.
std::optional<ino_t> runningInode(pid_t pid) { return inode("/proc/" + std::to_string(pid) + "/exe"); }

class HandoverEndToEndTests : public EndToEnd {
protected:
    void SetUp() override {
        program = path("bin/bosken-mcp");
        std::filesystem::create_directories(path("bin"));
        std::filesystem::copy_file(BOSKEN_MCP_EXE, program);
        ::unsetenv("BOSKEN_MCP_RESUME");
    }

    // Writes a new copy of the helper (or of `file`) beside it and renames it over the old
    // one, as an update does.
    void replaceHelper(std::filesystem::perms mode = std::filesystem::perms(0755), const std::string& file = BOSKEN_MCP_EXE) {
        std::string fresh = path("bin/bosken-mcp.new");
        std::filesystem::copy_file(file, fresh);
#if defined(__APPLE__)
        // A signed file is known by its code hash, so an identical copy is no update there;
        // signing it ad hoc under another identifier changes the hash, as a new version does.
        std::string sign = "codesign --force -s - -i com.example.update" + std::to_string(++replacements_) + " '" + fresh + "' 2>/dev/null";
        ASSERT_EQ(std::system(sign.c_str()), 0) << sign;
#endif
        std::filesystem::permissions(fresh, mode);
        std::filesystem::rename(fresh, program);
    }
    int replacements_ = 0;
};

// The session's client name is 200 KiB: Linux takes no single environment string over 128 KiB,
// so the record goes through a memory file.
TEST_F(HandoverEndToEndTests, ReplacedHelperTakesOverTheSameProcessAndSessionOnceComplete) {
#if defined(__APPLE__)
    GTEST_SKIP() << "follows the file the process runs through /proc";
#endif
    auto browser = startBrowser({"--close-after-calls", "1"});
    auto child = startHelper();
    pid_t pid = child->pid();
    const std::string name(200 * 1024, 'n');
    ASSERT_TRUE(exchange(*child, R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
                                 R"("clientInfo":{"name":")" + name + R"(","version":"3.1.4"}}})" "\n"
                                 R"({"jsonrpc":"2.0","method":"notifications/initialized"})")
                    .starts_with(R"({"id":1,"jsonrpc":"2.0","result")"));
    EXPECT_EQ(exchange(*child, openTab(2, "https://example.com/")), textReply(2, "tab-1", false));
    auto firstInode = runningInode(pid);
    ASSERT_EQ(firstInode, inode(program));
    // The browser drops the connection after that call. Until it has, the helper rightly
    // sends the next call on it, and gets to see the close only then.
    ASSERT_EQ(browser->readLine(10s), "closed 1");

    // Now an update lands, not yet executable: the call is refused with a text and serving
    // goes on in the same program.
    replaceHelper(std::filesystem::perms(0644));
    EXPECT_EQ(exchange(*child, toolCall(3, "list_agent_tabs")),
              textReply(3, "Bosken is being updated (bosken-mcp's new program isn't complete yet). Try again in a few seconds.", true));
    EXPECT_EQ(runningInode(pid), firstInode);

    // Once the update is complete the next call moves to it. A queued call and a ping right
    // behind it, in the same write, are already read when the hand-over happens: each is
    // answered once.
    std::filesystem::permissions(program, std::filesystem::perms(0755));
    child->write(openTab(5, "https://example.org/") + "\n" + openTab(6, "https://example.net/") + "\n" + ping(7) + "\n");
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) lines.push_back(child->readLine().value_or("<none>"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{textReply(5, "tab-1", false), textReply(6, "tab-2", false), pong(7)}));

    // Same process (still our child, never reaped), now running the new file.
    EXPECT_EQ(runningInode(pid), inode(program));

    // The new program introduced the resumed session's client; each call reached the browser
    // once; the earlier copy sent nothing after the update.
    EXPECT_EQ(logged(), (std::vector<std::string>{hello(name, "3.1.4"), opened(1, "https://example.com/"), hello(name, "3.1.4"),
                                                   opened(1, "https://example.org/"), opened(2, "https://example.net/")}));
    finish(*child);
}

// A program that fails to start (a real failing execv) is reported and changes nothing; three
// relaunches within a minute are carried across each re-execution, and a fourth is refused.
TEST_F(HandoverEndToEndTests, AFailedReexecutionIsReportedAndTheFourthReplacementWithinAMinuteStopsTheRestarts) {
    // No browser: every call that is let through ends in the "not running" text.
    auto child = startHelper();
    [[maybe_unused]] pid_t pid = child->pid();
    EXPECT_EQ(exchange(*child, ping(1)), pong(1));  // started: it knows the file it was launched from
    TestSupport::writeFile(path("not-a-program"), "not a program\n");
    replaceHelper(std::filesystem::perms(0755), path("not-a-program"));
    EXPECT_EQ(exchange(*child, openTab(2, "https://example.com/")),
              textReply(2, "Bosken was updated, and bosken-mcp couldn't restart itself (Exec format error). Run /mcp to restart "
                           "the bosken server.", true));
    for (int round = 1; round <= 3; ++round) {
        replaceHelper();
        EXPECT_EQ(exchange(*child, openTab(10 + round, "https://example.com/")), textReply(10 + round, notRunningText, true)) << round;
#if !defined(__APPLE__)  // no /proc there: the replies alone show the restarts
        EXPECT_EQ(runningInode(pid), inode(program)) << "relaunch " << round;
#endif
    }
    replaceHelper();
    EXPECT_EQ(exchange(*child, openTab(20, "https://example.com/")),
              textReply(20, "bosken-mcp's program keeps changing (3 restarts in a minute), so it stopped restarting itself. Run /mcp "
                            "to restart the bosken server once Bosken's update is done.", true));
#if !defined(__APPLE__)
    EXPECT_NE(runningInode(pid), inode(program));
#endif
    EXPECT_EQ(exchange(*child, ping(21)), pong(21));
    finish(*child);
}

TEST_F(HandoverEndToEndTests, BadRecordsStartAFreshHelper) {
    for (const char* text : {"garbage", R"({"v":1,"executable":"bin/bosken-mcp","input":"e30K"})"}) {
        auto child = startHelper(ChildProcess::Environment{{"BOSKEN_MCP_RESUME", text}});
        EXPECT_EQ(exchange(*child, ping(1)), pong(1)) << text;
        finish(*child);
    }
}

}  // namespace
