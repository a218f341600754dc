#include "AgentSetup/CommandRunner.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "TestSupport/TempDir.hpp"

using AgentSetup::CommandRunner;
using namespace std::chrono_literals;

namespace {

class CommandRunnerTest : public TestSupport::TempDirTest {
protected:
    // A shell script at `name` in the temp directory, made executable.
    std::string script(const std::string& name, const std::string& body) {
        auto file = path(name);
        TestSupport::writeFile(file, "#!/bin/sh\n" + body + "\n");
        ::chmod(file.c_str(), 0755);
        return file;
    }
    CommandRunner::Result run(const std::string& body, CommandRunner::Environment environment = {},
                              CommandRunner runner = CommandRunner::process()) {
        return runner.run(script("tool", body), {}, environment);
    }
};

TEST(CommandRunnerPath, ChildPathPutsExecutableDirectoryFirstAndDropsRepeats) {
    struct Case {
        std::string executable;
        CommandRunner::Environment environment;
        std::string expected;
    };
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
    struct Case {
        std::string output;
        int status;
        std::string expected;
    };
    const Case cases[] = {
        {"\x1B[31mError:\x1B[0m  bad\n  thing\n", 1, "Error: bad thing"},
        {"", 2, "it exited with status 2."},
        {" \n\t \r\n", 2, "it exited with status 2."},
        {"\x1B[m\x1B[1;31m\x1B[0m", 1, "it exited with status 1."},
        {"a\xC2\xA0\xE2\x80\x83" "b\xE3\x80\x80" "c", 0, "a b c"},     // no-break, em and ideographic spaces
        {"\x1B[2Kkept\x1B[31", 0, "\x1B[2Kkept\x1B[31"},                // not colour sequences
        {"caf\xC3\xA9  \xE6\x97\xA5\xE6\x9C\xAC", 0, "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
        {"", -1, "it exited with status -1."},
    };
    for (const auto& c : cases) EXPECT_EQ((CommandRunner::Result{c.status, c.output}.message()), c.expected) << c.output;
}

TEST_F(CommandRunnerTest, ChildSeesBuiltPathAndOtherVariablesUnchanged) {
    auto result = run("echo \"$PATH\"; echo \"$GREETING\"", {{"PATH", "/usr/bin::/usr/bin:/opt/x"}, {"GREETING", "a b"}});
    EXPECT_EQ(result, (CommandRunner::Result{
                          0, dir.path().string() + ":/usr/bin:/opt/x:/opt/homebrew/bin:/usr/local/bin:/bin\na b\n"}));
}

TEST_F(CommandRunnerTest, StandardErrorIsCapturedInOrderWithStandardOutput) {
    auto result = run("echo one; echo two >&2; echo three; exit 3");
    EXPECT_EQ(result, (CommandRunner::Result{3, "one\ntwo\nthree\n"}));
}

TEST_F(CommandRunnerTest, StandardInputIsAtEndOfFile) {
    auto result = run("cat; echo \"read:$?\"");
    EXPECT_EQ(result, (CommandRunner::Result{0, "read:0\n"}));
}

TEST_F(CommandRunnerTest, ArgumentsArePassedWithoutAShell) {
    auto tool = script("args", "for a in \"$@\"; do echo \"[$a]\"; done");
    auto result = CommandRunner::process().run(tool, {"a b", "$HOME", "'q'", ""}, {});
    EXPECT_EQ(result, (CommandRunner::Result{0, "[a b]\n[$HOME]\n['q']\n[]\n"}));
}

TEST_F(CommandRunnerTest, MissingExecutableGivesStatusMinusOneAndADescription) {
    auto missing = path("nothing-here");
    auto result = CommandRunner::process().run(missing, {}, {});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output, "couldn't run " + missing + ": No such file or directory");
    EXPECT_EQ(result.message(), result.output);
}

TEST_F(CommandRunnerTest, NonExecutableFileCannotBeStarted) {
    auto file = path("plain");
    TestSupport::writeFile(file, "#!/bin/sh\necho hi\n");
    ::chmod(file.c_str(), 0644);
    auto result = CommandRunner::process().run(file, {}, {});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output, "couldn't run " + file + ": Permission denied");
}

TEST_F(CommandRunnerTest, OutputThatIsNotUTF8IsDroppedWhole) {
    auto result = run("printf 'ok \\377 then'; exit 4");
    EXPECT_EQ(result, (CommandRunner::Result{4, ""}));
    EXPECT_EQ(result.message(), "it exited with status 4.");
}

TEST_F(CommandRunnerTest, TimeOutTerminatesTheChild) {
    auto start = std::chrono::steady_clock::now();
    auto result = run("echo started; exec sleep 30", {}, CommandRunner::process(200ms, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(result, (CommandRunner::Result{128 + SIGTERM, "started\n"}));
}

TEST_F(CommandRunnerTest, ChildIgnoringTerminationIsKilledWithItsGroup) {
    auto start = std::chrono::steady_clock::now();
    // The shell ignores SIGTERM and its `sleep` child holds the output pipe too.
    auto result = run("trap '' TERM; echo stubborn; sleep 30; echo never", {}, CommandRunner::process(200ms, 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(result, (CommandRunner::Result{128 + SIGKILL, "stubborn\n"}));
}

TEST_F(CommandRunnerTest, DescendantHoldingThePipeDoesNotKeepTheRunWaiting) {
    auto start = std::chrono::steady_clock::now();
    auto result = run("sleep 8 & echo done");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(result, (CommandRunner::Result{0, "done\n"}));
}

TEST_F(CommandRunnerTest, LargeOutputArrivesWhole) {
    auto result = run("i=0; while [ $i -lt 2000 ]; do echo 0123456789012345678901234567890123456789; i=$((i+1)); done");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.size(), 2000u * 41u);
}

TEST_F(CommandRunnerTest, FindTakesFirstExecutableRegularFile) {
    auto a = path("a"), b = path("b"), home = path("home");
    auto make = [](const std::string& file, mode_t mode) {
        TestSupport::writeFile(file, "#!/bin/sh\n");
        ::chmod(file.c_str(), mode);
    };
    make(a + "/claude", 0755);
    make(b + "/claude", 0755);
    EXPECT_EQ(CommandRunner::find("claude", {{"PATH", a + ":" + b}}, home), a + "/claude");

    // Skipped: a file without execute permission and a directory with the tool's name.
    ::chmod((a + "/claude").c_str(), 0644);
    std::filesystem::create_directories(path("c/claude"));
    EXPECT_EQ(CommandRunner::find("claude", {{"PATH", path("c") + "::" + a + ":" + b}}, home), b + "/claude");

    // Without PATH: ~/.local/bin before ~/.claude/local.
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), std::nullopt);
    make(home + "/.claude/local/bosken-test-tool", 0755);
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), home + "/.claude/local/bosken-test-tool");
    make(home + "/.local/bin/bosken-test-tool", 0700);
    EXPECT_EQ(CommandRunner::find("bosken-test-tool", {}, home), home + "/.local/bin/bosken-test-tool");
}

TEST_F(CommandRunnerTest, FindFollowsSymbolicLinksAndFallsBackToSystemDirectories) {
    std::filesystem::create_directories(path("bin"));
    std::filesystem::create_symlink("/bin/sh", path("bin/shell"));
    EXPECT_EQ(CommandRunner::find("shell", {{"PATH", path("bin")}}, path("home")), path("bin") + "/shell");
    EXPECT_EQ(CommandRunner::find("sh", {}, path("home")), "/usr/bin/sh");
}

}  // namespace
