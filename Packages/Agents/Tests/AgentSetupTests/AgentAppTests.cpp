#include "AgentSetup/AgentApp.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "AgentSetupTests/InstallerTestSupport.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

TEST(AgentAppKind, CatalogueTextsInOrderAndExactRawValues) {
    struct Row {
        Kind kind;
        std::string rawValue, name, restartNote;
    };
    const Row rows[] = {
        {Kind::claudeCode, "claude-code", "Claude Code",
         "New Claude Code sessions can use Bosken; restart the ones already running."},
        {Kind::claudeDesktop, "claude-desktop", "Claude (desktop app)",
         "Quit Claude (\xE2\x8C\x98Q) and open it again to load Bosken."},
        {Kind::codex, "codex", "Codex (CLI and app)",
         "Start a new Codex session, or restart the Codex app, to load Bosken."},
        {Kind::cursor, "cursor", "Cursor", "Restart Cursor, or toggle Bosken on in Cursor's MCP settings."},
        {Kind::gemini, "gemini", "Gemini CLI", "Start a new Gemini CLI session to load Bosken."},
        {Kind::windsurf, "windsurf", "Windsurf", "Restart Windsurf, or refresh its MCP servers."},
    };
    ASSERT_EQ(AgentApp::allCases.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        EXPECT_EQ(AgentApp::allCases[i], row.kind);
        EXPECT_EQ(AgentApp::rawValue(row.kind), row.rawValue);
        EXPECT_EQ(AgentApp::name(row.kind), row.name);
        EXPECT_EQ(AgentApp::restartNote(row.kind), row.restartNote);
        EXPECT_EQ(AgentApp::kindWithRawValue(row.rawValue), row.kind);
    }
    for (const char* text : {"Cursor", "claude", "claude_code", " codex", "codex ", "", "windsurf\n"})
        EXPECT_EQ(AgentApp::kindWithRawValue(text), std::nullopt) << text;
}

class AgentAppDetectionTest : public TestSupport::TempDirTest {
protected:
    std::string home() const { return path("home"); }
    AgentInstaller installer(AgentInstaller::Environment environment = {}, bool findCommands = false,
                             std::optional<std::vector<std::string>> folders = std::vector<std::string>{}) {
        return AgentInstaller(std::move(environment), home(), std::move(folders), findCommands, CommandRunner{},
                              [] { return std::chrono::system_clock::time_point{}; });
    }
    void makeDirectory(const std::string& relative) { std::filesystem::create_directories(path(relative)); }
    static std::vector<Kind> detected(const std::vector<AgentApp>& apps) {
        std::vector<Kind> kinds;
        for (const auto& app : apps)
            if (app.isDetected) kinds.push_back(app.kind);
        return kinds;
    }
};

TEST_F(AgentAppDetectionTest, OnlyCursorDirectoryGivesSixRecordsWithCursorDetected) {
    makeDirectory("home/.cursor");
    auto apps = installer().apps();
    const auto h = home();
    EXPECT_EQ(apps, (std::vector<AgentApp>{
                        {Kind::claudeCode, h + "/.claude.json", false},
                        {Kind::claudeDesktop, h + "/Library/Application Support/Claude/claude_desktop_config.json", false},
                        {Kind::codex, h + "/.codex/config.toml", false},
                        {Kind::cursor, h + "/.cursor/mcp.json", true},
                        {Kind::gemini, h + "/.gemini/settings.json", false},
                        {Kind::windsurf, h + "/.codeium/windsurf/mcp_config.json", false},
                    }));
}

TEST_F(AgentAppDetectionTest, EachAppAloneByItsConfiguration) {
    const std::pair<std::string, Kind> cases[] = {
        {"home/.claude.json", Kind::claudeCode},
        {"home/.claude/", Kind::claudeCode},
        {"home/Library/Application Support/Claude/", Kind::claudeDesktop},
        {"home/.codex/", Kind::codex},
        {"home/.gemini/", Kind::gemini},
        {"home/.codeium/windsurf/", Kind::windsurf},
    };
    EXPECT_EQ(detected(installer().apps()), std::vector<Kind>{});
    for (const auto& [relative, kind] : cases) {
        std::filesystem::remove_all(path("home"));
        if (relative.ends_with('/')) makeDirectory(relative);
        else TestSupport::writeFile(path(relative), "{}");
        EXPECT_EQ(detected(installer().apps()), std::vector<Kind>{kind}) << relative;
    }
}

// An empty variable counts as unset.
TEST_F(AgentAppDetectionTest, ClaudeConfigDirAndCodexHomeMoveTheFileAndItsDetection) {
    TestSupport::writeFile(path("cc/.claude.json"), "{}");
    makeDirectory("codex-home");
    makeDirectory("home/.codex");
    const std::pair<AgentInstaller::Environment, AgentApp> cases[] = {
        {{{"CLAUDE_CONFIG_DIR", path("cc")}}, {Kind::claudeCode, path("cc") + "/.claude.json", true}},
        {{{"CLAUDE_CONFIG_DIR", ""}}, {Kind::claudeCode, home() + "/.claude.json", false}},
        {{{"CODEX_HOME", path("codex-home")}}, {Kind::codex, path("codex-home") + "/config.toml", true}},
        {{{"CODEX_HOME", ""}}, {Kind::codex, home() + "/.codex/config.toml", true}},
        {{{"CODEX_HOME", path("elsewhere")}}, {Kind::codex, path("elsewhere") + "/config.toml", false}},
    };
    for (const auto& [environment, expected] : cases) EXPECT_EQ(installer(environment).app(expected.kind), expected);
}

TEST_F(AgentAppDetectionTest, BundlesInEitherFolderDetectOnlyTheDesktopApps) {
    for (auto bundle : {"Claude.app", "Codex.app", "Gemini.app", "Claude Code.app", "Gemini CLI.app"})
        makeDirectory(std::string("apps1/") + bundle);
    makeDirectory("apps2/Cursor.app");
    makeDirectory("apps2/Windsurf.app");
    auto apps = installer({}, false, std::vector<std::string>{path("apps1"), path("apps2")}).apps();
    EXPECT_EQ(detected(apps), (std::vector<Kind>{Kind::claudeDesktop, Kind::codex, Kind::cursor, Kind::windsurf}));
    EXPECT_EQ(detected(installer({}, false, std::vector<std::string>{}).apps()), std::vector<Kind>{});
}

TEST_F(AgentAppDetectionTest, DefaultApplicationFoldersAreSystemThenHome) {
    EXPECT_EQ(installer({}, false, std::nullopt).applicationFolders,
              (std::vector<std::string>{"/Applications", home() + "/Applications"}));
    makeDirectory("home/Applications/Windsurf.app");
    EXPECT_TRUE(installer({}, false, std::nullopt).app(Kind::windsurf).isDetected);
}

TEST_F(AgentAppDetectionTest, CommandsCountOnlyWhenAllowed) {
    for (auto tool : {"claude", "codex", "gemini", "cursor", "windsurf"})
        InstallerTestSupport::writeExecutable(path("bin/") + tool);
    AgentInstaller::Environment environment{{"PATH", path("bin")}};
    EXPECT_EQ(detected(installer(environment, false).apps()), std::vector<Kind>{});
    EXPECT_EQ(detected(installer(environment, true).apps()), (std::vector<Kind>{Kind::claudeCode, Kind::codex, Kind::gemini}));
    // Claude in ~/.local/bin is found without PATH.
    InstallerTestSupport::writeExecutable(path("home/.local/bin/claude"));
    EXPECT_FALSE(installer({}, false).app(Kind::claudeCode).isDetected);
    EXPECT_TRUE(installer({}, true).app(Kind::claudeCode).isDetected);
}

}  // namespace
