#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport/InstallerTestSupport.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::AgentInstallError;
using AgentSetup::AgentInstallResult;
using AgentSetup::AgentPlan;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;
using Change = AgentPlan::Change;
using Outcome = std::variant<AgentInstallResult, AgentInstallError>;
using namespace InstallerTestSupport;

namespace {

std::string messageOf(const Outcome& outcome) {
    return std::visit([](const auto& value) { return value.message(); }, outcome);
}

std::size_t entriesIn(const std::string& directory) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

// `claude` is stood in for: each call's arguments are recorded and answered from `answers` (then
// status 0); a successful "add" registers the helper the way the real command would.
class ApplyingTest : public InstallerTest {
protected:
    std::vector<std::vector<std::string>> calls;
    std::vector<CommandRunner::Result> answers;
    bool writesOnAdd = true;

    AgentInstaller applier(bool findCommands) {
        CommandRunner runner{[this](const std::string&, const std::vector<std::string>& arguments,
                                    const CommandRunner::Environment&) {
            calls.push_back(arguments);
            const auto answer = answers.empty() ? CommandRunner::Result{0, ""} : answers.front();
            if (!answers.empty()) answers.erase(answers.begin());
            if (answer.status == 0 && writesOnAdd && arguments.at(1) == "add")
                write("home/.claude.json", boskenConfig(arguments.back()));
            return answer;
        }};
        return installer({{"PATH", path("bin")}, {"HOME", "/elsewhere"}, {"LANG", "C"}}, findCommands, runner);
    }
    AgentPlan plan(Kind kind, bool findCommands = false) {
        auto inst = applier(findCommands);
        return planned(inst.plan(inst.app(kind), helper));
    }
    Outcome install(const AgentPlan& plan, bool findCommands = false) { return applier(findCommands).install(plan); }
};

TEST_F(ApplyingTest, UnchangedPlanTouchesNothingEvenWhenTheFileHasGone) {
    const auto config = home() + "/.cursor/mcp.json";
    write("home/.cursor/mcp.json", boskenConfig(helper));
    auto made = plan(Kind::cursor);
    std::filesystem::remove(config);
    auto outcome = install(made);
    ASSERT_EQ(outcome, Outcome(AgentInstallResult{made.app, Change::unchanged(), config, std::nullopt}));
    EXPECT_FALSE(std::filesystem::exists(config));
    EXPECT_TRUE(calls.empty());
}

TEST_F(ApplyingTest, WritesThePlannedFileAndBacksUpAnyOriginal) {
    const std::string old = "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp";
    struct Case { Kind kind; std::string config; std::optional<std::string> original; Change change; };
    const Case cases[] = {
        {Kind::windsurf, home() + "/.codeium/windsurf/mcp_config.json",
         "{\"mcpServers\": {\"other\": {\"command\": \"x\"}}}", Change::add()},
        {Kind::cursor, home() + "/.cursor/mcp.json", boskenConfig(old), Change::replace(old)},
        {Kind::gemini, home() + "/.gemini/settings.json", std::nullopt, Change::add()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        if (c.original) TestSupport::writeFile(c.config, *c.original);
        auto made = plan(c.kind);
        auto outcome = install(made);
        auto backup = c.original ? std::optional(c.config + ".bosken-backup-" + stamp()) : std::nullopt;
        ASSERT_EQ(outcome, Outcome(AgentInstallResult{made.app, c.change, c.config, backup})) << messageOf(outcome);
        EXPECT_EQ(TestSupport::readFile(c.config), *made.result);
        if (backup) { EXPECT_EQ(TestSupport::readFile(*backup), *c.original); }
        EXPECT_EQ(entriesIn(std::filesystem::path(c.config).parent_path()), backup ? 2u : 1u);
    }
}

TEST_F(ApplyingTest, FileChangedSinceShownIsLeftAlone) {
    struct Case { const char* what; std::optional<std::string> before, after; };
    const Case cases[] = {
        {"appeared", std::nullopt, "{}"},
        {"grew by a byte", "{}", "{} "},
    };
    const auto config = home() + "/.cursor/mcp.json";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(path("home"));
        if (c.before) write("home/.cursor/mcp.json", *c.before);
        auto made = plan(Kind::cursor);
        std::filesystem::remove(config);
        if (c.after) write("home/.cursor/mcp.json", *c.after);
        auto outcome = install(made);
        ASSERT_EQ(outcome, Outcome(AgentInstallError::changedSinceShown(config)));
        if (c.after) { EXPECT_EQ(TestSupport::readFile(config), *c.after); }
        EXPECT_EQ(entriesIn(path("home/.cursor")), c.after ? 1u : 0u);  // no backup, no temporary file
    }
}

TEST_F(ApplyingTest, SymlinkedConfigStaysALinkAndIsBackedUpBesideItsTarget) {
    write("dotfiles/cursor.json", "{}");
    std::filesystem::create_directories(path("home/.cursor"));
    std::filesystem::create_symlink(path("dotfiles/cursor.json"), path("home/.cursor/mcp.json"));
    auto made = plan(Kind::cursor);
    auto outcome = install(made);
    ASSERT_EQ(outcome, Outcome(AgentInstallResult{made.app, Change::add(), path("dotfiles/cursor.json"),
                                                  path("dotfiles/cursor.json.bosken-backup-" + stamp())}));
    EXPECT_TRUE(std::filesystem::is_symlink(path("home/.cursor/mcp.json")));
}

TEST_F(ApplyingTest, ABackupNameTakenSinceShownGoesToTheNextFreeOneAndIsReported) {
    const auto config = home() + "/.cursor/mcp.json";
    write("home/.cursor/mcp.json", "{}");
    auto made = plan(Kind::cursor);
    TestSupport::writeFile(*made.backupPath, "another run's backup");
    auto outcome = install(made);
    ASSERT_EQ(outcome, Outcome(AgentInstallResult{made.app, Change::add(), config, *made.backupPath + "-2"}));
    EXPECT_EQ(TestSupport::readFile(*made.backupPath + "-2"), "{}");
}

TEST_F(ApplyingTest, ReadBackThatMissesTheHelperIsNotApplied) {
    const auto config = home() + "/.cursor/mcp.json";
    write("home/.cursor/mcp.json", "{}");
    auto made = plan(Kind::cursor);
    made.result = boskenConfig("/someone/else");  // as if rewritten meanwhile
    auto outcome = install(made);
    ASSERT_EQ(outcome, Outcome(AgentInstallError::notApplied(config)));
    EXPECT_EQ(TestSupport::readFile(config + ".bosken-backup-" + stamp()), "{}");
}

TEST_F(ApplyingTest, FailureBeforeWritingLeavesTheFileAlone) {
    const auto config = home() + "/.cursor/mcp.json";
    write("home/.cursor/mcp.json", "{}");
    auto withoutContents = plan(Kind::cursor);
    withoutContents.result.reset();
    EXPECT_EQ(messageOf(install(withoutContents)),
              "Couldn't save " + config + ": nothing to write. The original is untouched.");
    // Where there was no file, there is no original to speak of.
    auto creating = plan(Kind::gemini);
    creating.result.reset();
    EXPECT_EQ(messageOf(install(creating)), "Couldn't create " + home() + "/.gemini/settings.json: nothing to write.");

    auto unbackedUp = plan(Kind::cursor);
    unbackedUp.backupPath = path("no/such/dir/backup");
    const auto outcome = install(unbackedUp);
    const auto* error = std::get_if<AgentInstallError>(&outcome);
    ASSERT_TRUE(error && !error->why.empty());
    EXPECT_EQ(error->message(), config + " wasn't changed: couldn't make a backup first (" + error->why + ").");
    EXPECT_EQ(TestSupport::readFile(config), "{}");
}

TEST_F(ApplyingTest, FailingSilentOrNotRemovingClaudeCommandIsReported) {
    writeExecutable(path("bin/claude"));
    struct Case { CommandRunner::Result answer; bool registers; AgentInstallError expected; };
    const Case cases[] = {
        {{2, "config is locked"}, true, AgentInstallError::commandFailed("config is locked")},
        {{0, ""}, false, AgentInstallError::notApplied(home() + "/.claude.json")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.message());
        calls.clear();
        answers = {c.answer};
        writesOnAdd = c.registers;
        EXPECT_EQ(install(plan(Kind::claudeCode, true), true), Outcome(c.expected));
        EXPECT_EQ(calls.size(), 1u);
    }
    write("home/.claude.json", boskenConfig(helper));
    auto inst = applier(true);
    auto made = planned(inst.removalPlan(inst.app(Kind::claudeCode)));
    EXPECT_EQ(inst.install(made), Outcome(AgentInstallError::notRemoved(home() + "/.claude.json")));
    EXPECT_EQ(calls.back(), (std::vector<std::string>{"mcp", "remove", "--scope", "user", "bosken"}));
}

// Every app and format: uninstall after install gives the original bytes back (the backup
// aside), and uninstall with no entry changes nothing.
TEST_F(ApplyingTest, UninstallAfterInstallRestoresTheOriginalBytes) {
    const std::pair<Kind, std::string> originals[] = {
        {Kind::claudeCode, "{\"numStartups\": 12, \"projects\": {}}"},
        {Kind::claudeDesktop, "{\n  \"globalShortcut\": \"\"\n}\n"},
        {Kind::codex, "model = \"o3\"\n\n[mcp_servers.other]\ncommand = \"x\"\n"},
        {Kind::cursor, "{\n  \"mcpServers\": {}\n}\n"},
        {Kind::gemini, "{\n  // theme\n  \"theme\": \"Default\"\n}\n"},
        {Kind::windsurf, "{\"mcpServers\": {\"other\": {\"command\": \"x\"}}}"},
        {Kind::copilot, "{\r\n  \"mcpServers\": {\r\n    \"other\": {\"command\": \"x\"} // mine\r\n  }\r\n}\r\n"},
        {Kind::vscode, "{\n\t\"servers\": {\n\t\t\"a\": {\"type\": \"stdio\", \"command\": \"x\",},\n\t},\n}\n"},
        {Kind::antigravity, "\xEF\xBB\xBF{\n    \"mcpServers\": {}\n}"},
        {Kind::opencode, "{\n  \"$schema\": \"https://opencode.ai/config.json\",\n  /* models */\n  \"model\": \"x\",\n}\n"},
        {Kind::zed, "// Zed settings\n{\n  \"theme\": \"One Dark\",\n}\n"},
        {Kind::kiro, "{\n  \"mcpServers\": {\n    \"a\": {\"command\": \"\\u00e9\\/\", \"n\": 1.50}\n  }\n}"},
    };
    ASSERT_EQ(std::size(originals), AgentApp::allCases.size());
    for (const auto& [kind, original] : originals) {
        SCOPED_TRACE(std::string(AgentApp::rawValue(kind)));
        std::filesystem::remove_all(home());
        auto inst = applier(false);
        const auto app = inst.app(kind);
        TestSupport::writeFile(app.configURL, original);

        auto added = inst.install(planned(inst.plan(app, helper)));
        ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(added)) << messageOf(added);
        std::filesystem::remove(app.configURL + ".bosken-backup-" + stamp());

        auto removal = planned(inst.removalPlan(app));
        EXPECT_EQ(removal.change, Change::remove(helper));
        auto removed = inst.install(removal);
        ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(removed)) << messageOf(removed);
        EXPECT_EQ(TestSupport::readFile(app.configURL), original);
        std::filesystem::remove(app.configURL + ".bosken-backup-" + stamp());

        auto nothing = planned(inst.removalPlan(app));
        EXPECT_EQ(nothing.change, Change::absent());
        EXPECT_EQ(messageOf(inst.install(nothing)),
                  std::string(app.name()) + " has no Bosken (in " + app.configURL + "). Nothing was removed.");
        EXPECT_EQ(TestSupport::readFile(app.configURL), original);
        EXPECT_EQ(entriesIn(std::filesystem::path(app.configURL).parent_path()), 1u);
    }
}

// An existing entry keeps the user's own keys in every format; a turned-off one is turned on.
TEST_F(ApplyingTest, ExistingEntryKeepsTheUsersKeysAndIsTurnedBackOn) {
    struct Case { Kind kind; std::string before; Change change; std::string summary, after; };  // summary up to " First copies …"
    const std::string q = "\"" + helper + "\"";
    const Case cases[] = {
        {Kind::cursor,
         "{\"mcpServers\": {\"bosken\": {\"command\": \"/old\", \"env\": {\"BOSKEN_AGENT_SOCKET\": \"/s\"}, "
         "\"disabled\": true, \"autoApprove\": [\"tabs\"]}}}",
         Change::replace("/old", true),
         "Replaces the entry that starts /old with the entry below in {}, keeping everything else in it, and turns it "
         "back on.",
         "{\"mcpServers\": {\"bosken\": {\"command\": " + q +
             ", \"env\": {\"BOSKEN_AGENT_SOCKET\": \"/s\"}, \"autoApprove\": [\"tabs\"], \"args\": []}}}"},
        {Kind::opencode,
         "{\"mcp\": {\"bosken\": {\"type\": \"local\", \"command\": [" + q +
             "], \"enabled\": false, \"timeout\": 5000}}}",
         Change::unchanged(true), "Turns the entry below back on in {}, keeping everything else in it.",
         "{\"mcp\": {\"bosken\": {\"type\": \"local\", \"command\": [" + q + "], \"enabled\": true, \"timeout\": 5000}}}"},
        {Kind::codex,
         "[mcp_servers.bosken]\ncommand = " + q + "\nenabled = false\n\n[mcp_servers.bosken.env]\nK = \"V\"\n",
         Change::unchanged(true), "Turns the entry below back on in {}, keeping everything else in it.",
         "[mcp_servers.bosken]\ncommand = " + q + "\nargs = []\nenabled = true\n\n[mcp_servers.bosken.env]\nK = \"V\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        auto inst = applier(false);
        const auto app = inst.app(c.kind);
        TestSupport::writeFile(app.configURL, c.before);
        auto made = planned(inst.plan(app, helper));
        EXPECT_EQ(made.change, c.change);
        auto summary = c.summary;
        summary.replace(summary.find("{}"), 2, app.configURL);
        EXPECT_EQ(made.summary, summary + " First copies the file to " + app.configURL + ".bosken-backup-" + stamp() + ".");
        auto outcome = inst.install(made);
        ASSERT_TRUE(std::holds_alternative<AgentInstallResult>(outcome)) << messageOf(outcome);
        EXPECT_EQ(TestSupport::readFile(app.configURL), c.after);
        const auto said = c.change.kind == Change::Kind::unchanged
                              ? "Turned Bosken back on in " + std::string(app.name()) + " in "
                              : "Pointed Cursor's Bosken at this copy in " + app.configURL + " and turned it back on; it started /old.";
        EXPECT_TRUE(messageOf(outcome).starts_with(said)) << messageOf(outcome);
    }
}

}  // namespace
