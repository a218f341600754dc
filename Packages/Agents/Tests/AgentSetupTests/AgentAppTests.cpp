#include "AgentSetup/AgentApp.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport/InstallerTestSupport.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

TEST(AgentAppKind, RawValuesNameEachKindExactly) {
    for (auto kind : AgentApp::allCases) EXPECT_EQ(AgentApp::kindWithRawValue(AgentApp::rawValue(kind)), kind);
    for (const char* text : {"Cursor", "claude", " codex", ""})
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

TEST_F(AgentAppDetectionTest, EachAppAloneByItsConfiguration) {
    const std::pair<std::string, std::optional<Kind>> cases[] = {
        {"home/.claude.json", Kind::claudeCode},
        {"home/.claude/", Kind::claudeCode},
        {"home/Library/Application Support/Claude/", Kind::claudeDesktop},
        {"home/.gemini/settings.json", Kind::gemini},
        {"home/.gemini/config/", Kind::antigravity},
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
    for (auto folder : {"codex-home", "home/.codex", "xdg/opencode"}) makeDirectory(folder);
    TestSupport::writeFile(path("xdg2/opencode/opencode.json"), "{}");
    const std::pair<AgentInstaller::Environment, AgentApp> cases[] = {
        {{{"CLAUDE_CONFIG_DIR", "cc"}}, {Kind::claudeCode, path("cc") + "/.claude.json", true}},
        {{{"CODEX_HOME", "./codex-home"}}, {Kind::codex, path(".") + "/codex-home/config.toml", true}},
        {{{"COPILOT_HOME", path("ch")}}, {Kind::copilot, path("ch") + "/mcp-config.json", false}},
        {{{"XDG_CONFIG_HOME", path("xdg")}}, {Kind::opencode, path("xdg") + "/opencode/opencode.jsonc", true}},
        {{{"XDG_CONFIG_HOME", path("xdg2")}}, {Kind::opencode, path("xdg2") + "/opencode/opencode.json", true}},
        {{{"CODEX_HOME", ""}}, {Kind::codex, home() + "/.codex/config.toml", true}},
    };
    for (const auto& [environment, expected] : cases) {
        auto inst = installer(environment);
        inst.workingDirectory = std::filesystem::path(path("x")).parent_path().string();
        EXPECT_EQ(inst.app(expected.kind), expected) << expected.configURL;
    }
}

TEST_F(AgentAppDetectionTest, BundlesInEitherFolderDetectOnlyTheDesktopApps) {
    for (auto bundle : {"Claude.app", "Claude Code.app", "Gemini CLI.app"}) makeDirectory(std::string("apps1/") + bundle);
    makeDirectory("apps2/Visual Studio Code.app");
    auto apps = installer({}, false, std::vector<std::string>{path("apps1"), path("apps2")}).apps();
    EXPECT_EQ(detected(apps), (std::vector<Kind>{Kind::claudeDesktop, Kind::vscode}));
}

TEST_F(AgentAppDetectionTest, DefaultApplicationFoldersAreSystemThenHome) {
    EXPECT_EQ(installer({}, false, std::nullopt).applicationFolders,
              (std::vector<std::string>{"/Applications", home() + "/Applications"}));
    makeDirectory("home/Applications/Windsurf.app");
    EXPECT_TRUE(installer({}, false, std::nullopt).app(Kind::windsurf).isDetected);
}

TEST_F(AgentAppDetectionTest, CommandsCountOnlyWhenAllowed) {
    for (auto tool : {"code", "cursor"}) InstallerTestSupport::writeExecutable(path("bin/") + tool);
    AgentInstaller::Environment environment{{"PATH", path("bin")}};
    EXPECT_EQ(detected(installer(environment, false).apps()), std::vector<Kind>{});
    EXPECT_EQ(detected(installer(environment, true).apps()), std::vector<Kind>{Kind::vscode});  // Cursor only by its app
    // Claude in ~/.local/bin is found without PATH.
    InstallerTestSupport::writeExecutable(path("home/.local/bin/claude"));
    EXPECT_FALSE(installer({}, false).app(Kind::claudeCode).isDetected);
    EXPECT_TRUE(installer({}, true).app(Kind::claudeCode).isDetected);
}

}  // namespace
