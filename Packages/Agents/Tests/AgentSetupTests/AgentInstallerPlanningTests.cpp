#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "AgentSetup/AgentInstaller.hpp"
#include "TestSupport/TempDir.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::AgentInstallError;
using AgentSetup::AgentPlan;
using AgentSetup::ClaudeCodeSetup;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;
using Change = AgentPlan::Change;
using Method = AgentPlan::Method;

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

const std::string jsonSnippet =
    "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" + helper +
    "\"\n    }\n  }\n}";

class PlanningTest : public TestSupport::TempDirTest {
protected:
    std::string home() const { return path("home"); }
    AgentInstaller installer(AgentInstaller::Environment environment = {}, bool findCommands = false) const {
        return AgentInstaller(std::move(environment), home(), std::vector<std::string>{}, findCommands, CommandRunner{},
                              [] { return planTime; });
    }
    AgentPlan plan(Kind kind, const std::string& helperPath = helper, AgentInstaller::Environment environment = {},
                   bool findCommands = false) const {
        auto inst = installer(std::move(environment), findCommands);
        auto made = inst.plan(inst.app(kind), helperPath);
        if (auto* error = std::get_if<AgentInstallError>(&made)) {
            ADD_FAILURE() << "planning failed: " << error->message();
            return {};
        }
        return std::get<AgentPlan>(made);
    }
    AgentInstallError planError(Kind kind, const std::string& helperPath = helper) const {
        auto inst = installer();
        auto made = inst.plan(inst.app(kind), helperPath);
        if (auto* error = std::get_if<AgentInstallError>(&made)) return *error;
        ADD_FAILURE() << "planning succeeded";
        return {};
    }
    void write(const std::string& relative, const std::string& bytes) { TestSupport::writeFile(path(relative), bytes); }
};

TEST_F(PlanningTest, HelperOutsideAnInstalledAppFailsEveryPlanBeforeReading) {
    std::filesystem::create_directories(path("home/.cursor/mcp.json"));  // would be unreadable
    for (const std::string bad : {"/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp",
                                  "/private/var/folders/x/AppTranslocation/1/d/Bosken.app/Contents/Helpers/bosken-mcp",
                                  "Bosken.app/Contents/Helpers/bosken-mcp", "/usr/local/bin/bosken-mcp"}) {
        for (auto kind : AgentApp::allCases) {
            auto error = planError(kind, bad);
            EXPECT_EQ(error, AgentInstallError::notInstalled(bad));
            EXPECT_EQ(error.message(),
                      "Move Bosken to Applications and open it from there first: an agent would start the helper at " +
                          bad + ".");
        }
    }
}

TEST_F(PlanningTest, DirectoryAtTheConfigPathIsUnreadable) {
    std::filesystem::create_directories(path("home/.cursor/mcp.json"));
    auto error = planError(Kind::cursor);
    EXPECT_EQ(error, AgentInstallError::unreadableConfig(home() + "/.cursor/mcp.json", "Bosken couldn't read it"));
    EXPECT_EQ(error.message(), home() + "/.cursor/mcp.json wasn't changed: Bosken couldn't read it.");
}

TEST_F(PlanningTest, FifoAtTheConfigPathIsUnreadableAndDoesNotBlock) {
    std::filesystem::create_directories(path("home/.gemini"));
    ASSERT_EQ(::mkfifo(path("home/.gemini/settings.json").c_str(), 0600), 0);
    EXPECT_EQ(planError(Kind::gemini),
              AgentInstallError::unreadableConfig(home() + "/.gemini/settings.json", "Bosken couldn't read it"));
}

TEST_F(PlanningTest, MissingFileIsCreated) {
    auto made = plan(Kind::gemini);
    const auto config = home() + "/.gemini/settings.json";
    EXPECT_EQ(made.app, (AgentApp{Kind::gemini, config, false}));
    EXPECT_EQ(made.helperPath, helper);
    EXPECT_EQ(made.change, Change::add());
    EXPECT_EQ(made.method, Method::editFile());
    EXPECT_EQ(made.configPath, config);
    EXPECT_TRUE(made.createsFile);
    EXPECT_EQ(made.backupPath, std::nullopt);
    EXPECT_EQ(made.original, std::nullopt);
    EXPECT_EQ(made.preview, jsonSnippet);
    EXPECT_EQ(made.result, jsonSnippet + "\n");
    EXPECT_EQ(made.summary, "Creates " + config + " with the entry below.");
}

TEST_F(PlanningTest, ExistingFileWithoutEntryIsAddedToWithABackup) {
    const std::string original = "{\"theme\": \"dark\", \"mcpServers\": {\"other\": {\"command\": \"x\"}}}";
    write("home/.cursor/mcp.json", original);
    auto made = plan(Kind::cursor);
    const auto config = home() + "/.cursor/mcp.json";
    const auto backup = config + ".bosken-backup-" + stamp();
    EXPECT_EQ(made.change, Change::add());
    EXPECT_FALSE(made.createsFile);
    EXPECT_EQ(made.original, original);
    EXPECT_EQ(made.backupPath, backup);
    EXPECT_EQ(made.summary, "Adds the entry below in " + config + ", keeping everything else in it. First copies the file to " +
                                backup + ".");
    EXPECT_EQ(made.result,
              "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" + helper +
                  "\"\n    },\n    \"other\" : {\n      \"command\" : \"x\"\n    }\n  },\n  \"theme\" : \"dark\"\n}\n");
}

TEST_F(PlanningTest, SameCommandIsUnchangedButStillMerged) {
    const std::string original = "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\", \"args\": [\"x\"]}}}";
    write("home/.codeium/windsurf/mcp_config.json", original);
    auto made = plan(Kind::windsurf);
    const auto config = home() + "/.codeium/windsurf/mcp_config.json";
    EXPECT_EQ(made.change, Change::unchanged());
    EXPECT_EQ(made.backupPath, std::nullopt);
    EXPECT_EQ(made.summary, "Windsurf already has Bosken in " + config + ". Nothing to change.");
    EXPECT_EQ(made.preview, jsonSnippet);
    EXPECT_EQ(made.result, jsonSnippet + "\n");
}

TEST_F(PlanningTest, NearlySameCommandIsReplaced) {
    for (const std::string& previous : std::vector<std::string>{helper + "/", "/applications/Bosken.app/Contents/Helpers/bosken-mcp", ""}) {
        write("home/.cursor/mcp.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"" + previous + "\"}}}");
        auto made = plan(Kind::cursor);
        const auto config = home() + "/.cursor/mcp.json";
        EXPECT_EQ(made.change, Change::replace(previous));
        EXPECT_EQ(made.summary, "Replaces the entry that starts " + previous + " with the entry below in " + config +
                                    ", keeping everything else in it. First copies the file to " + config +
                                    ".bosken-backup-" + stamp() + ".");
    }
}

TEST_F(PlanningTest, ClaudeCodeWithItsCommandRunsIt) {
    TestSupport::writeFile(path("bin/claude"), "#!/bin/sh\n");
    ::chmod(path("bin/claude").c_str(), 0755);
    AgentInstaller::Environment environment{{"PATH", path("bin")}};
    const auto config = home() + "/.claude.json";

    auto fresh = plan(Kind::claudeCode, helper, environment, true);
    EXPECT_EQ(fresh.method, Method::command(path("bin/claude")));
    EXPECT_EQ(fresh.result, std::nullopt);
    EXPECT_EQ(fresh.preview, "claude mcp add --scope user bosken -- " + helper);
    EXPECT_EQ(fresh.summary, "Runs the command below, which edits " + config + ".");

    write("home/.claude.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"/old\"}}}");
    const std::string spaced = "/Users/me/My Apps/Bosken's.app/Contents/Helpers/bosken-mcp";
    auto replacing = plan(Kind::claudeCode, spaced, environment, true);
    EXPECT_EQ(replacing.change, Change::replace("/old"));
    EXPECT_EQ(replacing.preview,
              "claude mcp add --scope user bosken -- '/Users/me/My Apps/Bosken'\\''s.app/Contents/Helpers/bosken-mcp'");
    EXPECT_EQ(replacing.summary, "Runs the command below, which edits " + config + ". First copies the file to " + config +
                                     ".bosken-backup-" + stamp() + ".");
}

TEST_F(PlanningTest, ClaudeCodeWithoutItsCommandEditsItsFile) {
    auto made = plan(Kind::claudeCode, helper, {{"PATH", path("nothing")}}, true);
    EXPECT_EQ(made.method, Method::editFile());
    EXPECT_EQ(made.preview, "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" +
                                helper + "\",\n      \"env\" : {},\n      \"type\" : \"stdio\"\n    }\n  }\n}");
}

TEST_F(PlanningTest, SymlinkedConfigIsPlannedAgainstItsTarget) {
    write("dotfiles/cursor.json", "{}");
    std::filesystem::create_directories(path("home/.cursor"));
    std::filesystem::create_symlink(path("dotfiles/cursor.json"), path("home/.cursor/mcp.json"));
    auto made = plan(Kind::cursor);
    EXPECT_EQ(made.app.configURL, home() + "/.cursor/mcp.json");
    EXPECT_EQ(made.configPath, path("dotfiles/cursor.json"));
    EXPECT_EQ(made.backupPath, path("dotfiles/cursor.json") + ".bosken-backup-" + stamp());
}

TEST_F(PlanningTest, CodexTableIsPreviewedAndItsCommandRead) {
    const auto config = home() + "/.codex/config.toml";
    auto fresh = plan(Kind::codex);
    const std::string table = "[mcp_servers.bosken]\ncommand = \"" + helper + "\"\nargs = []\n";
    EXPECT_EQ(fresh.preview, table);
    EXPECT_EQ(fresh.result, table);
    EXPECT_EQ(fresh.summary, "Creates " + config + " with the entry below.");

    write("home/.codex/config.toml", "model = \"o3\"\n\n[mcp_servers.bosken]\ncommand = \"/old/bosken-mcp\" # note\n");
    auto replacing = plan(Kind::codex);
    EXPECT_EQ(replacing.change, Change::replace("/old/bosken-mcp"));
    EXPECT_EQ(replacing.result, "model = \"o3\"\n\n[mcp_servers.bosken]\ncommand = \"" + helper + "\"\nargs = []\n");
}

TEST_F(PlanningTest, FormatProblemsBecomeUnreadableOrLayoutErrors) {
    const auto cursor = home() + "/.cursor/mcp.json";
    write("home/.cursor/mcp.json", "{\"mcpServers\": {},}");
    auto error = planError(Kind::cursor);
    EXPECT_EQ(error.kind, AgentInstallError::Kind::unreadableConfig);
    EXPECT_EQ(error.message(),
              cursor + " wasn't changed: it isn't valid JSON (comments and trailing commas aren't accepted).");

    write("home/.cursor/mcp.json", "[1]");
    EXPECT_EQ(planError(Kind::cursor).message(), cursor + " wasn't changed: it isn't a JSON object.");

    write("home/.cursor/mcp.json", "{\"mcpServers\": []}");
    EXPECT_EQ(planError(Kind::cursor).kind, AgentInstallError::Kind::unsupportedLayout);

    write("home/.codex/config.toml", "mcp_servers.bosken.command = \"/x\"\n");
    EXPECT_EQ(planError(Kind::codex).kind, AgentInstallError::Kind::unsupportedLayout);
    write("home/.codex/config.toml", "[mcp_servers\n");
    EXPECT_EQ(planError(Kind::codex).kind, AgentInstallError::Kind::unreadableConfig);
}

TEST_F(PlanningTest, StatusForTheListing) {
    auto inst = installer();
    auto cursor = inst.app(Kind::cursor);
    EXPECT_EQ(inst.status(cursor, helper), ClaudeCodeSetup::Status::notConnected());
    write("home/.cursor/mcp.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\"}}}");
    EXPECT_EQ(inst.status(cursor, helper), ClaudeCodeSetup::Status::connected());
    EXPECT_EQ(inst.status(cursor, helper + "2"), ClaudeCodeSetup::Status::otherHelper(helper));
    write("home/.cursor/mcp.json", "{");
    EXPECT_EQ(inst.status(cursor, helper), ClaudeCodeSetup::Status::notConnected());
    write("home/.codex/config.toml", "[mcp_servers.bosken]\ncommand = 42\n");
    EXPECT_EQ(inst.status(inst.app(Kind::codex), helper), ClaudeCodeSetup::Status::notConnected());
}

TEST(PlanningSummary, EveryForm) {
    const AgentApp cursor{Kind::cursor, "/Users/me/.cursor/mcp.json", true};
    const std::string path = "/Users/me/.cursor/mcp.json";
    const std::string backup = path + ".bosken-backup-20250102-030405";
    struct Case {
        Change change;
        Method method;
        std::optional<std::string> backup;
        std::string expected;
    };
    const Case cases[] = {
        {Change::unchanged(), Method::editFile(), std::nullopt,
         "Cursor already has Bosken in " + path + ". Nothing to change."},
        {Change::unchanged(), Method::command("/bin/claude"), backup,
         "Cursor already has Bosken in " + path + ". Nothing to change."},
        {Change::add(), Method::command("/bin/claude"), std::nullopt, "Runs the command below, which edits " + path + "."},
        {Change::replace("/old"), Method::command("/bin/claude"), backup,
         "Runs the command below, which edits " + path + ". First copies the file to " + backup + "."},
        {Change::add(), Method::editFile(), backup,
         "Adds the entry below in " + path + ", keeping everything else in it. First copies the file to " + backup + "."},
        {Change::replace("/old"), Method::editFile(), backup,
         "Replaces the entry that starts /old with the entry below in " + path +
             ", keeping everything else in it. First copies the file to " + backup + "."},
        {Change::add(), Method::editFile(), std::nullopt, "Creates " + path + " with the entry below."},
    };
    for (const auto& c : cases) EXPECT_EQ(AgentInstaller::summary(cursor, c.change, c.method, path, c.backup), c.expected);
}

TEST(PlanningEntry, ClaudeCodeHasFourMembersOthersTwo) {
    using AgentWire::JSON;
    EXPECT_EQ(AgentInstaller::entry(Kind::claudeCode, "/h"),
              JSON::object({{"type", JSON("stdio")}, {"command", JSON("/h")}, {"args", JSON::array({})},
                            {"env", JSON::object({})}}));
    for (auto kind : {Kind::claudeDesktop, Kind::cursor, Kind::gemini, Kind::windsurf})
        EXPECT_EQ(AgentInstaller::entry(kind, "/h"), JSON::object({{"command", JSON("/h")}, {"args", JSON::array({})}}));
}

}  // namespace
