#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <memory>

#include "AgentSetup/AgentInstaller.hpp"
#include "TestSupport/TempDir.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::AgentInstallError;
using AgentSetup::AgentInstallResult;
using AgentSetup::AgentPlan;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;
using Change = AgentPlan::Change;

namespace {

const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const auto planTime = std::chrono::system_clock::from_time_t(1700000000);

std::string stamp() {
    std::time_t t = std::chrono::system_clock::to_time_t(planTime);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// A stand-in for `claude`: records each call and answers from a script of results; a
// successful "add" writes the entry the way the real command would.
struct FakeClaude {
    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
        CommandRunner::Environment environment;
    };
    std::vector<Call> calls;
    std::vector<CommandRunner::Result> answers;
    std::string settingsPath;
    bool writesOnAdd = true;

    CommandRunner runner() {
        return CommandRunner{[this](const std::string& executable, const std::vector<std::string>& arguments,
                                    const CommandRunner::Environment& environment) {
            calls.push_back({executable, arguments, environment});
            CommandRunner::Result answer{0, ""};
            if (!answers.empty()) {
                answer = answers.front();
                answers.erase(answers.begin());
            }
            if (answer.status == 0 && writesOnAdd && arguments.size() > 1 && arguments[1] == "add")
                TestSupport::writeFile(settingsPath, "{\"mcpServers\": {\"bosken\": {\"command\": \"" + arguments.back() + "\"}}}");
            return answer;
        }};
    }
};

class ApplyingTest : public TestSupport::TempDirTest {
protected:
    FakeClaude claude;

    std::string home() const { return path("home"); }
    AgentInstaller installer(bool findCommands = false) {
        claude.settingsPath = home() + "/.claude.json";
        AgentInstaller::Environment environment{{"PATH", path("bin")}, {"HOME", "/elsewhere"}, {"LANG", "C"}};
        return AgentInstaller(environment, home(), std::vector<std::string>{}, findCommands, claude.runner(),
                              [] { return planTime; });
    }
    AgentPlan plan(Kind kind, bool findCommands = false) {
        auto inst = installer(findCommands);
        auto made = inst.plan(inst.app(kind), helper);
        if (auto* error = std::get_if<AgentInstallError>(&made)) {
            ADD_FAILURE() << "planning failed: " << error->message();
            return {};
        }
        return std::get<AgentPlan>(made);
    }
    std::variant<AgentInstallResult, AgentInstallError> install(const AgentPlan& plan, bool findCommands = false) {
        return installer(findCommands).install(plan);
    }
    void write(const std::string& relative, const std::string& bytes) { TestSupport::writeFile(path(relative), bytes); }
    std::vector<std::string> filesIn(const std::string& relative) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(relative)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void installClaudeCommand() {
        TestSupport::writeFile(path("bin/claude"), "#!/bin/sh\nexit 9\n");
        ::chmod(path("bin/claude").c_str(), 0755);
    }
};

TEST_F(ApplyingTest, UnchangedPlanTouchesNothingEvenWhenTheFileHasGone) {
    write("home/.cursor/mcp.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\"}}}");
    auto made = plan(Kind::cursor);
    std::filesystem::remove(path("home/.cursor/mcp.json"));
    auto outcome = install(made);
    auto config = home() + "/.cursor/mcp.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome));
    EXPECT_EQ(std::get<AgentInstallResult>(outcome), (AgentInstallResult{made.app, Change::unchanged(), config, std::nullopt}));
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).message(),
              "Cursor already has Bosken (in " + config + "). Nothing was changed.");
    EXPECT_FALSE(std::filesystem::exists(config));
    EXPECT_TRUE(claude.calls.empty());
}

TEST_F(ApplyingTest, AddingToAnExistingFileBacksItUpAndReplacesIt) {
    const std::string original = "{\"mcpServers\": {\"other\": {\"command\": \"x\"}}, \"n\": 1.50}";
    write("home/.codeium/windsurf/mcp_config.json", original);
    auto made = plan(Kind::windsurf);
    auto outcome = install(made);
    const auto config = home() + "/.codeium/windsurf/mcp_config.json";
    const auto backup = config + ".bosken-backup-" + stamp();
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome)) << std::get<AgentInstallError>(outcome).message();
    auto result = std::get<AgentInstallResult>(outcome);
    EXPECT_EQ(result, (AgentInstallResult{made.app, Change::add(), config, backup}));
    EXPECT_EQ(result.message(), "Added Bosken to Windsurf in " + config + ". The old file is saved at " + backup +
                                    ". Restart Windsurf, or refresh its MCP servers.");
    EXPECT_EQ(TestSupport::readFile(backup), original);
    EXPECT_EQ(TestSupport::readFile(config), *made.result);
    EXPECT_NE(made.result->find("1.50"), std::string::npos);
}

TEST_F(ApplyingTest, CreatingAFileMakesNoBackup) {
    auto made = plan(Kind::gemini);
    auto outcome = install(made);
    const auto config = home() + "/.gemini/settings.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome));
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).message(),
              "Added Bosken to Gemini CLI in " + config + ". Start a new Gemini CLI session to load Bosken.");
    EXPECT_EQ(filesIn("home/.gemini"), std::vector<std::string>{"settings.json"});
    EXPECT_EQ(TestSupport::readFile(config), *made.result);
}

TEST_F(ApplyingTest, ReplacingNamesTheOldCommand) {
    const std::string old = "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp";
    write("home/.cursor/mcp.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"" + old + "\"}}}");
    auto outcome = install(plan(Kind::cursor));
    const auto config = home() + "/.cursor/mcp.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome));
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).message(),
              "Pointed Cursor's Bosken at this copy in " + config + "; it started " + old +
                  ". The old file is saved at " + config + ".bosken-backup-" + stamp() +
                  ". Restart Cursor, or toggle Bosken on in Cursor's MCP settings.");
}

TEST_F(ApplyingTest, FileChangedSinceShownIsLeftAlone) {
    struct Case {
        const char* what;
        std::optional<std::string> before;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"appeared", std::nullopt, std::string("{}")},
        {"vanished", std::string("{}"), std::nullopt},
        {"grew by a byte", std::string("{}"), std::string("{} ")},
        {"emptied", std::string("{}"), std::string("")},
    };
    const auto config = home() + "/.cursor/mcp.json";
    for (const auto& c : cases) {
        std::filesystem::remove_all(path("home"));
        std::filesystem::create_directories(path("home/.cursor"));
        if (c.before) write("home/.cursor/mcp.json", *c.before);
        auto made = plan(Kind::cursor);
        std::filesystem::remove(config);
        if (c.after) write("home/.cursor/mcp.json", *c.after);
        auto outcome = install(made);
        ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome)) << c.what;
        EXPECT_EQ(std::get<AgentInstallError>(outcome), AgentInstallError::changedSinceShown(config)) << c.what;
        EXPECT_EQ(std::get<AgentInstallError>(outcome).message(),
                  config + " changed since it was checked, so nothing was written. Try again.");
        if (c.after) {
            EXPECT_EQ(TestSupport::readFile(config), *c.after) << c.what;
        }
        EXPECT_EQ(filesIn("home/.cursor").size(), c.after ? 1u : 0u) << c.what;  // no backup, no temporary file
    }
}

TEST_F(ApplyingTest, SymlinkedConfigStaysALinkAndIsBackedUpBesideItsTarget) {
    write("dotfiles/cursor.json", "{}");
    std::filesystem::create_directories(path("home/.cursor"));
    std::filesystem::create_symlink(path("dotfiles/cursor.json"), path("home/.cursor/mcp.json"));
    auto made = plan(Kind::cursor);
    auto outcome = install(made);
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome));
    EXPECT_TRUE(std::filesystem::is_symlink(path("home/.cursor/mcp.json")));
    EXPECT_EQ(TestSupport::readFile(path("dotfiles/cursor.json")), *made.result);
    EXPECT_EQ(TestSupport::readFile(path("dotfiles/cursor.json.bosken-backup-" + stamp())), "{}");
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).configPath, path("dotfiles/cursor.json"));
}

TEST_F(ApplyingTest, ReadBackThatMissesTheHelperIsNotApplied) {
    write("home/.cursor/mcp.json", "{}");
    auto made = plan(Kind::cursor);
    made.result = "{\"mcpServers\": {\"bosken\": {\"command\": \"/someone/else\"}}}";  // as if rewritten meanwhile
    auto outcome = install(made);
    const auto config = home() + "/.cursor/mcp.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome));
    EXPECT_EQ(std::get<AgentInstallError>(outcome), AgentInstallError::notApplied(config));
    EXPECT_EQ(std::get<AgentInstallError>(outcome).message(),
              config + " was written, but Bosken isn't in it when read back. Add it by hand.");
    EXPECT_EQ(TestSupport::readFile(config + ".bosken-backup-" + stamp()), "{}");
}

TEST_F(ApplyingTest, PlanWithoutNewContentsWritesNothing) {
    write("home/.cursor/mcp.json", "{}");
    auto made = plan(Kind::cursor);
    made.result.reset();
    auto outcome = install(made);
    const auto config = home() + "/.cursor/mcp.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome));
    EXPECT_EQ(std::get<AgentInstallError>(outcome).message(),
              "Couldn't save " + config + ": nothing to write. The original is untouched.");
    EXPECT_EQ(TestSupport::readFile(config), "{}");
}

TEST_F(ApplyingTest, FailedBackupLeavesTheFileAlone) {
    write("home/.cursor/mcp.json", "{}");
    auto made = plan(Kind::cursor);
    made.backupPath = path("no/such/dir/backup");
    auto outcome = install(made);
    const auto config = home() + "/.cursor/mcp.json";
    ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome));
    const auto& error = std::get<AgentInstallError>(outcome);
    EXPECT_EQ(error.kind, AgentInstallError::Kind::backupFailed);
    EXPECT_FALSE(error.why.empty());
    EXPECT_EQ(error.message(), config + " wasn't changed: couldn't make a backup first (" + error.why + ").");
    EXPECT_EQ(TestSupport::readFile(config), "{}");
}

TEST_F(ApplyingTest, ClaudeCommandAddsWithTheUsersHome) {
    installClaudeCommand();
    auto made = plan(Kind::claudeCode, true);
    ASSERT_EQ(made.method, AgentPlan::Method::command(path("bin/claude")));
    auto outcome = install(made, true);
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome)) << std::get<AgentInstallError>(outcome).message();
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).message(),
              "Added Bosken to Claude Code in " + home() +
                  "/.claude.json. New Claude Code sessions can use Bosken; restart the ones already running.");
    ASSERT_EQ(claude.calls.size(), 1u);
    EXPECT_EQ(claude.calls[0].executable, path("bin/claude"));
    EXPECT_EQ(claude.calls[0].arguments,
              (std::vector<std::string>{"mcp", "add", "--scope", "user", "bosken", "--", helper}));
    EXPECT_EQ(claude.calls[0].environment,
              (CommandRunner::Environment{{"PATH", path("bin")}, {"HOME", home()}, {"LANG", "C"}}));
}

TEST_F(ApplyingTest, ClaudeCommandReplacingRemovesFirstAndAddsEvenWhenRemovalFails) {
    installClaudeCommand();
    write("home/.claude.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"/old\"}}}");
    auto made = plan(Kind::claudeCode, true);
    claude.answers = {{1, "no such server"}, {0, ""}};
    auto outcome = install(made, true);
    ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome)) << std::get<AgentInstallError>(outcome).message();
    ASSERT_EQ(claude.calls.size(), 2u);
    EXPECT_EQ(claude.calls[0].arguments, (std::vector<std::string>{"mcp", "remove", "--scope", "user", "bosken"}));
    EXPECT_EQ(claude.calls[1].arguments[1], "add");
    const auto backup = home() + "/.claude.json.bosken-backup-" + stamp();
    EXPECT_EQ(TestSupport::readFile(backup), "{\"mcpServers\": {\"bosken\": {\"command\": \"/old\"}}}");
    EXPECT_EQ(std::get<AgentInstallResult>(outcome).backupPath, backup);
}

TEST_F(ApplyingTest, FailingClaudeCommandReportsItsCleanedOutput) {
    installClaudeCommand();
    struct Case {
        CommandRunner::Result answer;
        std::string expected;
    };
    const Case cases[] = {
        {{1, ""}, "The command failed: it exited with status 1."},
        {{2, "\x1B[31mError:\x1B[0m  config\n  is locked\n"}, "The command failed: Error: config is locked"},
    };
    for (const auto& c : cases) {
        claude.calls.clear();
        claude.answers = {c.answer};
        auto outcome = install(plan(Kind::claudeCode, true), true);
        ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome));
        EXPECT_EQ(std::get<AgentInstallError>(outcome).message(), c.expected);
        EXPECT_EQ(claude.calls.size(), 1u);
    }
}

TEST_F(ApplyingTest, ClaudeCommandThatSucceedsWithoutRegisteringIsNotApplied) {
    installClaudeCommand();
    claude.writesOnAdd = false;
    auto outcome = install(plan(Kind::claudeCode, true), true);
    ASSERT_TRUE(std::holds_alternative<AgentInstallError>(outcome));
    EXPECT_EQ(std::get<AgentInstallError>(outcome), AgentInstallError::notApplied(home() + "/.claude.json"));
}

TEST(AgentInstallErrorMessage, EveryCase) {
    struct Case {
        AgentInstallError error;
        std::string expected;
    };
    const Case cases[] = {
        {AgentInstallError::notInstalled("/Volumes/B/Bosken.app/Contents/Helpers/bosken-mcp"),
         "Move Bosken to Applications and open it from there first: an agent would start the helper at "
         "/Volumes/B/Bosken.app/Contents/Helpers/bosken-mcp."},
        {AgentInstallError::unreadableConfig("/p", "it isn't a JSON object"), "/p wasn't changed: it isn't a JSON object."},
        {AgentInstallError::unsupportedLayout("/p", "its \"mcpServers\" isn't an object"),
         "/p wasn't changed: its \"mcpServers\" isn't an object."},
        {AgentInstallError::changedSinceShown("/p"), "/p changed since it was checked, so nothing was written. Try again."},
        {AgentInstallError::backupFailed("/p", "No space left on device"),
         "/p wasn't changed: couldn't make a backup first (No space left on device)."},
        {AgentInstallError::writeFailed("/p", "Permission denied"),
         "Couldn't save /p: Permission denied. The original is untouched."},
        {AgentInstallError::commandFailed("Error: bad thing"), "The command failed: Error: bad thing"},
        {AgentInstallError::notApplied("/p"), "/p was written, but Bosken isn't in it when read back. Add it by hand."},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.expected);
}

TEST(AgentInstallResultMessage, EveryChange) {
    const AgentApp claudeDesktop{Kind::claudeDesktop, "/c", true};
    struct Case {
        AgentInstallResult result;
        std::string expected;
    };
    const Case cases[] = {
        {{claudeDesktop, Change::unchanged(), "/c", std::string("/c.b")},
         "Claude (desktop app) already has Bosken (in /c). Nothing was changed."},
        {{claudeDesktop, Change::add(), "/c", std::nullopt},
         "Added Bosken to Claude (desktop app) in /c. Quit Claude (\xE2\x8C\x98Q) and open it again to load Bosken."},
        {{claudeDesktop, Change::replace("/old"), "/c", std::string("/c.b")},
         "Pointed Claude (desktop app)'s Bosken at this copy in /c; it started /old. The old file is saved at /c.b. "
         "Quit Claude (\xE2\x8C\x98Q) and open it again to load Bosken."},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result.message(), c.expected);
}

}  // namespace
