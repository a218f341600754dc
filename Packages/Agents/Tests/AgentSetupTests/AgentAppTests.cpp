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
        {Kind::copilot, "copilot", "GitHub Copilot",
         "Start a new Copilot session, or reload Copilot in your editor, to load Bosken."},
        {Kind::vscode, "vscode", "VS Code", "Restart VS Code, or start Bosken from the MCP: List Servers command."},
        {Kind::antigravity, "antigravity", "Antigravity",
         "Restart Antigravity, or refresh its MCP servers, to load Bosken."},
        {Kind::opencode, "opencode", "OpenCode", "Start a new OpenCode session to load Bosken."},
        {Kind::zed, "zed", "Zed", "Zed loads Bosken as soon as it sees the saved settings; check the Agent panel's settings."},
        {Kind::kiro, "kiro", "Kiro", "Restart Kiro, or reconnect its MCP servers, to load Bosken."},
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

TEST_F(AgentAppDetectionTest, OnlyCursorDirectoryGivesEveryRecordWithCursorDetected) {
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
                        {Kind::copilot, h + "/.copilot/mcp-config.json", false},
                        {Kind::vscode, h + "/Library/Application Support/Code/User/mcp.json", false},
                        {Kind::antigravity, h + "/.gemini/config/mcp_config.json", false},
                        {Kind::opencode, h + "/.config/opencode/opencode.jsonc", false},
                        {Kind::zed, h + "/.config/zed/settings.json", false},
                        {Kind::kiro, h + "/.kiro/settings/mcp.json", false},
                    }));
}

TEST_F(AgentAppDetectionTest, EachAppAloneByItsConfiguration) {
    const std::pair<std::string, std::optional<Kind>> cases[] = {
        {"home/.claude.json", Kind::claudeCode},
        {"home/.claude/", Kind::claudeCode},
        {"home/Library/Application Support/Claude/", Kind::claudeDesktop},
        {"home/.codex/", Kind::codex},
        {"home/.gemini/settings.json", Kind::gemini},
        {"home/.codeium/windsurf/", Kind::windsurf},
        {"home/.copilot/", Kind::copilot},
        {"home/Library/Application Support/Code/User/", Kind::vscode},
        {"home/.gemini/config/", Kind::antigravity},
        {"home/.config/opencode/", Kind::opencode},
        {"home/.config/zed/", Kind::zed},
        {"home/.kiro/", Kind::kiro},
        // Antigravity shares the folder: the folder alone is not Gemini CLI.
        {"home/.gemini/", std::nullopt},
    };
    EXPECT_EQ(detected(installer().apps()), std::vector<Kind>{});
    for (const auto& [relative, kind] : cases) {
        std::filesystem::remove_all(path("home"));
        if (relative.ends_with('/')) makeDirectory(relative);
        else TestSupport::writeFile(path(relative), "{}");
        EXPECT_EQ(detected(installer().apps()), kind ? std::vector<Kind>{*kind} : std::vector<Kind>{}) << relative;
    }
}

// An empty variable counts as unset; a relative one is taken from the working directory.
TEST_F(AgentAppDetectionTest, EnvironmentFoldersMoveTheFileAndItsDetection) {
    TestSupport::writeFile(path("cc/.claude.json"), "{}");
    makeDirectory("codex-home");
    makeDirectory("home/.codex");
    makeDirectory("xdg/opencode");
    TestSupport::writeFile(path("xdg2/opencode/opencode.json"), "{}");
    const std::pair<AgentInstaller::Environment, AgentApp> cases[] = {
        {{{"CLAUDE_CONFIG_DIR", "cc"}}, {Kind::claudeCode, path("cc") + "/.claude.json", true}},
        {{{"CODEX_HOME", "./codex-home"}}, {Kind::codex, path(".") + "/codex-home/config.toml", true}},
        {{{"COPILOT_HOME", path("ch")}}, {Kind::copilot, path("ch") + "/mcp-config.json", false}},
        {{{"XDG_CONFIG_HOME", path("xdg")}}, {Kind::opencode, path("xdg") + "/opencode/opencode.jsonc", true}},
        {{{"XDG_CONFIG_HOME", path("xdg2")}}, {Kind::opencode, path("xdg2") + "/opencode/opencode.json", true}},
        {{{"CLAUDE_CONFIG_DIR", path("cc")}}, {Kind::claudeCode, path("cc") + "/.claude.json", true}},
        {{{"CLAUDE_CONFIG_DIR", ""}}, {Kind::claudeCode, home() + "/.claude.json", false}},
        {{{"CODEX_HOME", path("codex-home")}}, {Kind::codex, path("codex-home") + "/config.toml", true}},
        {{{"CODEX_HOME", ""}}, {Kind::codex, home() + "/.codex/config.toml", true}},
        {{{"CODEX_HOME", path("elsewhere")}}, {Kind::codex, path("elsewhere") + "/config.toml", false}},
    };
    for (const auto& [environment, expected] : cases) {
        auto inst = installer(environment);
        inst.workingDirectory = std::filesystem::path(path("x")).parent_path().string();
        EXPECT_EQ(inst.app(expected.kind), expected) << expected.configURL;
    }
}

TEST_F(AgentAppDetectionTest, BundlesInEitherFolderDetectOnlyTheDesktopApps) {
    for (auto bundle : {"Claude.app", "Codex.app", "Gemini.app", "Claude Code.app", "Gemini CLI.app"})
        makeDirectory(std::string("apps1/") + bundle);
    for (auto bundle : {"Cursor.app", "Windsurf.app", "Visual Studio Code.app", "Antigravity.app", "Zed.app", "Kiro.app"})
        makeDirectory(std::string("apps2/") + bundle);
    auto apps = installer({}, false, std::vector<std::string>{path("apps1"), path("apps2")}).apps();
    EXPECT_EQ(detected(apps), (std::vector<Kind>{Kind::claudeDesktop, Kind::codex, Kind::cursor, Kind::windsurf,
                                                 Kind::vscode, Kind::antigravity, Kind::zed, Kind::kiro}));
    EXPECT_EQ(detected(installer({}, false, std::vector<std::string>{}).apps()), std::vector<Kind>{});
}

TEST_F(AgentAppDetectionTest, DefaultApplicationFoldersAreSystemThenHome) {
    EXPECT_EQ(installer({}, false, std::nullopt).applicationFolders,
              (std::vector<std::string>{"/Applications", home() + "/Applications"}));
    makeDirectory("home/Applications/Windsurf.app");
    EXPECT_TRUE(installer({}, false, std::nullopt).app(Kind::windsurf).isDetected);
}

TEST_F(AgentAppDetectionTest, CommandsCountOnlyWhenAllowed) {
    for (auto tool : {"claude", "codex", "gemini", "cursor", "windsurf", "copilot", "code", "agy", "opencode", "zed",
                      "kiro-cli"})
        InstallerTestSupport::writeExecutable(path("bin/") + tool);
    AgentInstaller::Environment environment{{"PATH", path("bin")}};
    EXPECT_EQ(detected(installer(environment, false).apps()), std::vector<Kind>{});
    EXPECT_EQ(detected(installer(environment, true).apps()),
              (std::vector<Kind>{Kind::claudeCode, Kind::codex, Kind::gemini, Kind::copilot, Kind::vscode,
                                 Kind::antigravity, Kind::opencode, Kind::zed, Kind::kiro}));
    // Claude in ~/.local/bin is found without PATH.
    InstallerTestSupport::writeExecutable(path("home/.local/bin/claude"));
    EXPECT_FALSE(installer({}, false).app(Kind::claudeCode).isDetected);
    EXPECT_TRUE(installer({}, true).app(Kind::claudeCode).isDetected);
}

}  // namespace
