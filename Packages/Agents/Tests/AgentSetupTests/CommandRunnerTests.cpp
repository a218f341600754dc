#include "AgentSetup/CommandRunner.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "TestSupport/InstallerTestSupport.hpp"

using AgentSetup::CommandRunner;
using namespace std::chrono_literals;

namespace {

class CommandRunnerTest : public TestSupport::TempDirTest {
protected:
    // Runs a shell script with `body` from the temp directory.
    CommandRunner::Result run(const std::string& body, std::vector<std::string> arguments = {},
                              CommandRunner::Environment environment = {}) {
        InstallerTestSupport::writeExecutable(path("tool"), "#!/bin/sh\n" + body + "\n");
        return CommandRunner::process().run(path("tool"), arguments, environment);
    }
};

TEST(CommandRunnerPath, ChildPathPutsExecutableDirectoryFirstAndDropsRepeats) {
    struct Case { std::string executable; CommandRunner::Environment environment; std::string expected; };
    const Case cases[] = {
        {"/opt/y/tool", {{"PATH", "/usr/bin::/usr/bin:/opt/x"}},
         "/opt/y:/usr/bin:/opt/x:/opt/homebrew/bin:/usr/local/bin:/bin"},
        {"/opt/y/tool", {}, "/opt/y:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"},
        {"/usr/local/bin/claude", {{"PATH", ":/a:"}}, "/usr/local/bin:/a:/opt/homebrew/bin:/usr/bin:/bin"},
        {"/tool", {{"PATH", ""}}, "/:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandRunner::childPath(c.executable, c.environment), c.expected) << c.executable;
}

TEST(CommandRunnerMessage, CleansColoursAndWhitespace) {
    struct Case { std::string output; int status; std::string expected; };
    const Case cases[] = {
        {"", 2, "it exited with status 2."},
        {"\x1B[m\x1B[1;31m\x1B[0m", 1, "it exited with status 1."},
        {"a\xC2\xA0\xE2\x80\x83" "b\xE3\x80\x80" "c", 0, "a b c"},     // no-break, em and ideographic spaces
        {"\x1B[2Kkept\x1B[31", 0, "\x1B[2Kkept\x1B[31"},                // not colour sequences
        {"caf\xC3\xA9  \xE6\x97\xA5\xE6\x9C\xAC", 0, "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
    };
    for (const auto& c : cases) EXPECT_EQ((CommandRunner::Result{c.status, c.output}.message()), c.expected) << c.output;
}

TEST_F(CommandRunnerTest, RealChildren) {
    struct Case { const char* what; std::string body; std::vector<std::string> arguments;
                  CommandRunner::Environment environment; CommandRunner::Result expected; };
    const Case cases[] = {
        {"built PATH, other variables unchanged", "echo \"$PATH\"; echo \"$GREETING\"", {},
         {{"PATH", "/usr/bin::/usr/bin:/opt/x"}, {"GREETING", "a b"}},
         {0, dir.path().string() + ":/usr/bin:/opt/x:/opt/homebrew/bin:/usr/local/bin:/bin\na b\n"}},
        {"stderr in order with stdout", "echo one; echo two >&2; echo three; exit 3", {}, {}, {3, "one\ntwo\nthree\n"}},
        {"stdin at end of file", "cat; echo \"read:$?\"", {}, {}, {0, "read:0\n"}},
        {"arguments without a shell", "for a in \"$@\"; do echo \"[$a]\"; done", {"a b", "$HOME", "'q'", ""}, {},
         {0, "[a b]\n[$HOME]\n['q']\n[]\n"}},
        {"output not UTF-8 dropped whole", "printf 'ok \\377 then'; exit 4", {}, {}, {4, ""}},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.body, c.arguments, c.environment), c.expected) << c.what;
}

TEST_F(CommandRunnerTest, ExecutableThatCannotStartGivesStatusMinusOneAndADescription) {
    TestSupport::writeFile(path("plain"), "#!/bin/sh\necho hi\n");
    const std::pair<std::string, std::string> cases[] = {{path("nothing-here"), "No such file or directory"},
                                                         {path("plain"), "Permission denied"}};
    for (const auto& [file, why] : cases) {
        auto result = CommandRunner::process().run(file, {}, {});
        EXPECT_EQ(result, (CommandRunner::Result{-1, "couldn't run " + file + ": " + why}));
        EXPECT_EQ(result.message(), result.output);
    }
}

// Each run ends well before its 30-second sleep.
TEST_F(CommandRunnerTest, RunEndsWithoutWaitingForTheChild) {
    struct Case { const char* what; std::string body; CommandRunner runner; CommandRunner::Result expected; };
    const Case cases[] = {
        {"timed out", "echo started; exec sleep 30", CommandRunner::process(200ms, 20s), {128 + SIGTERM, "started\n"}},
        // The shell ignores SIGTERM; its child holds the output pipe too, and the FIFO `held` open.
        {"ignoring SIGTERM", "trap '' TERM; (echo stubborn; exec sleep 30) 3>'" + path("held") + "' & wait; echo never",
         CommandRunner::process(200ms, 100ms), {128 + SIGKILL, "stubborn\n"}},
        {"descendant holding the pipe", "sleep 30 & echo done", CommandRunner::process(), {0, "done\n"}},
    };
    ASSERT_EQ(::mkfifo(path("held").c_str(), 0600), 0);
    const int held = ::open(path("held").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    // Side by side, each from its own script, so the test waits only as long as the slowest run.
    std::vector<std::future<CommandRunner::Result>> runs;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto script = path("tool" + std::to_string(i));
        InstallerTestSupport::writeExecutable(script, "#!/bin/sh\n" + cases[i].body + "\n");
        runs.push_back(std::async(std::launch::async, [&c = cases[i], script] { return c.runner.run(script, {}, {}); }));
    }
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(runs[i].get(), cases[i].expected) << cases[i].what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    // The stubborn tool's child was killed with it: its end of the FIFO is closed.
    pollfd entry{held, POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 10000), 1);
    EXPECT_EQ(::read(held, &entry, 1), 0);
    ::close(held);
}

// The one full-size test of the 8 MiB cap: a two-byte character straddles it and goes whole.
TEST_F(CommandRunnerTest, OutputOverTheCapIsCutAtACharacterBoundary) {
    auto result = run("head -c 8388607 /dev/zero | tr '\\0' a; printf '\\303\\251 and more'");
    EXPECT_TRUE((result == CommandRunner::Result{0, std::string(8388607, 'a')})) << result.status << ", " << result.output.size();
}

TEST_F(CommandRunnerTest, FindTakesFirstExecutableRegularFileFollowingLinks) {
    auto a = path("a"), b = path("b"), home = path("home");
    InstallerTestSupport::writeExecutable(a + "/claude");
    InstallerTestSupport::writeExecutable(b + "/claude");
    EXPECT_EQ(CommandRunner::find("claude", {{"PATH", a + ":" + b}}, home), a + "/claude");

    // Skipped: a file without execute permission and a directory with the tool's name.
    ::chmod((a + "/claude").c_str(), 0644);
    std::filesystem::create_directories(path("c/claude"));
    EXPECT_EQ(CommandRunner::find("claude", {{"PATH", path("c") + "::" + a + ":" + b}}, home), b + "/claude");

    // Without PATH: ~/.local/bin before ~/.claude/local.
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), std::nullopt);
    InstallerTestSupport::writeExecutable(home + "/.claude/local/bosken-test-tool");
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), home + "/.claude/local/bosken-test-tool");
    InstallerTestSupport::writeExecutable(home + "/.local/bin/bosken-test-tool");
    ::chmod((home + "/.local/bin/bosken-test-tool").c_str(), 0700);
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), home + "/.local/bin/bosken-test-tool");
    // A link to a tool counts; without PATH the system directories are searched too.
    std::filesystem::create_symlink("/bin/sh", path("c/shell"));
    EXPECT_EQ(CommandRunner::find("shell", {{"PATH", path("c")}}, home), path("c") + "/shell");
    EXPECT_EQ(CommandRunner::find("sh", {}, home), "/usr/bin/sh");
}

}  // namespace
