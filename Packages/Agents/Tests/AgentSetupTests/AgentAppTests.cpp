#include "AgentSetup/AgentApp.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "AgentSetup/AgentInstaller.hpp"
#include "TestSupport/TempDir.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

TEST(AgentAppKind, CatalogueTextsInOrder) {
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
}

TEST(AgentAppKind, RawValuesAreExact) {
    for (const char* text : {"Cursor", "claude", "claude_code", " codex", "codex ", "", "windsurf\n"})
        EXPECT_EQ(AgentApp::kindWithRawValue(text), std::nullopt) << text;
}

class AgentAppDetectionTest : public TestSupport::TempDirTest {
protected:
    std::string home() const { return path("home"); }
    AgentInstaller installer(AgentInstaller::Environment environment = {}, bool findCommands = false,
                             std::optional<std::vector<std::string>> folders = std::vector<std::string>{}) {
        return AgentInstaller(std::move(environment), home(), std::move(folders), findCommands,
                              CommandRunner{}, [] { return std::chrono::system_clock::time_point{}; });
    }
    void makeDirectory(const std::string& relative) { std::filesystem::create_directories(path(relative)); }
    void makeTool(const std::string& relative) {
        TestSupport::writeFile(path(relative), "#!/bin/sh\n");
        ::chmod(path(relative).c_str(), 0755);
    }
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

TEST_F(AgentAppDetectionTest, ConfigurationDirectoriesDetectEachApp) {
    makeDirectory("home/Library/Application Support/Claude");
    makeDirectory("home/.codex");
    makeDirectory("home/.gemini");
    makeDirectory("home/.codeium/windsurf");
    EXPECT_EQ(detected(installer().apps()), (std::vector<Kind>{Kind::claudeDesktop, Kind::codex, Kind::gemini, Kind::windsurf}));
}

TEST_F(AgentAppDetectionTest, ClaudeCodeByItsFileOrItsDirectory) {
    EXPECT_FALSE(installer().app(Kind::claudeCode).isDetected);
    TestSupport::writeFile(path("home/.claude.json"), "{}");
    EXPECT_TRUE(installer().app(Kind::claudeCode).isDetected);
    std::filesystem::remove(path("home/.claude.json"));
    makeDirectory("home/.claude");
    EXPECT_TRUE(installer().app(Kind::claudeCode).isDetected);
}

TEST_F(AgentAppDetectionTest, ClaudeConfigDirMovesTheFileAndItsDetection) {
    TestSupport::writeFile(path("cc/.claude.json"), "{}");
    auto app = installer({{"CLAUDE_CONFIG_DIR", path("cc")}}).app(Kind::claudeCode);
    EXPECT_EQ(app, (AgentApp{Kind::claudeCode, path("cc") + "/.claude.json", true}));
    EXPECT_EQ(installer({{"CLAUDE_CONFIG_DIR", ""}}).app(Kind::claudeCode),
              (AgentApp{Kind::claudeCode, home() + "/.claude.json", false}));
}

TEST_F(AgentAppDetectionTest, CodexHomeMovesDirectoryAndFileAndEmptyMeansUnset) {
    makeDirectory("codex-home");
    EXPECT_EQ(installer({{"CODEX_HOME", path("codex-home")}}).app(Kind::codex),
              (AgentApp{Kind::codex, path("codex-home") + "/config.toml", true}));
    makeDirectory("home/.codex");
    EXPECT_EQ(installer({{"CODEX_HOME", ""}}).app(Kind::codex), (AgentApp{Kind::codex, home() + "/.codex/config.toml", true}));
    EXPECT_EQ(installer({{"CODEX_HOME", path("elsewhere")}}).app(Kind::codex),
              (AgentApp{Kind::codex, path("elsewhere") + "/config.toml", false}));
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

TEST_F(AgentAppDetectionTest, CommandsOnPathCountOnlyWhenAllowed) {
    for (auto tool : {"claude", "codex", "gemini", "cursor", "windsurf"}) makeTool(std::string("bin/") + tool);
    AgentInstaller::Environment environment{{"PATH", path("bin")}};
    EXPECT_EQ(detected(installer(environment, false).apps()), std::vector<Kind>{});
    EXPECT_EQ(detected(installer(environment, true).apps()), (std::vector<Kind>{Kind::claudeCode, Kind::codex, Kind::gemini}));
}

TEST_F(AgentAppDetectionTest, ClaudeInHomeLocalDirectoryIsFoundWithoutPath) {
    makeTool("home/.local/bin/claude");
    EXPECT_FALSE(installer({}, false).app(Kind::claudeCode).isDetected);
    EXPECT_TRUE(installer({}, true).app(Kind::claudeCode).isDetected);
}

}  // namespace
