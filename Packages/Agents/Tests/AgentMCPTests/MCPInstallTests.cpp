#include "AgentMCP/MCPInstall.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport/InstallerTestSupport.hpp"

namespace MCPInstall = AgentMCP::MCPInstall;
using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

using InstallerTestSupport::boskenConfig;
using InstallerTestSupport::helper;

TEST(MCPInstallOptions, Parsing) {
    using Options = MCPInstall::Options;
    const std::string appError = "--app needs one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf, copilot, vscode, antigravity, opencode, zed, kiro";
    struct Case { std::vector<std::string> arguments; std::variant<Options, std::string> expected; };
    const Case cases[] = {
        {{"--app", "windsurf", "--all", "--app", "claude-code", "--app", "windsurf"},
         Options{.apps = {Kind::windsurf, Kind::claudeCode}, .all = true}},
        {{"--dry-run", "--list", "--print", "-h"}, Options{.apps = {}, .dryRun = true, .printSteps = true, .list = true, .help = true}},
        {{"--app", "--all"}, appError},
        {{"--app", "Cursor"}, appError},
        {{"--help", "--app=cursor"}, "unknown option --app=cursor\n" + MCPInstall::usage()},
    };
    for (const auto& c : cases) EXPECT_EQ(Options::parse(c.arguments), c.expected) << ::testing::PrintToString(c.arguments);
}

// No agent command is on PATH, so a command that runs anyway is a fault.
class MCPInstallTest : public InstallerTestSupport::InstallerTest {
protected:
    std::vector<std::string> out, err;
    MCPInstall::Writer toOut = [this](const std::string& text) { out.push_back(text); };
    MCPInstall::Writer toErr = [this](const std::string& text) { err.push_back(text); };

    AgentInstaller installer() const {
        return InstallerTest::installer({{"PATH", path("bin")}}, false,
                                        CommandRunner{[](auto&&...) { return CommandRunner::Result{1, "unexpected"}; }});
    }
    int captured(const std::function<int()>& call) { return out.clear(), err.clear(), call(); }
    int run(const std::vector<std::string>& arguments, std::optional<std::string> helperPath = helper) {
        return captured([&] { return MCPInstall::run(arguments, {}, helperPath, installer(), toOut, toErr); });
    }
    bool exists(const std::string& relative) const { return std::filesystem::exists(path(relative)); }
    // The first line each app's plan printed ("Name: summary").
    std::vector<std::string> planHeadings() const {
        std::vector<std::string> names;
        for (const auto& text : out)
            if (auto colon = text.find(": "); colon != std::string::npos && text.find('\n') != std::string::npos)
                names.push_back(text.substr(0, colon));
        return names;
    }
};

// --help wins over every other valid option, a usage error over --help, and --print over the rest
// (reading no config file).
TEST_F(MCPInstallTest, HelpUsageErrorsAndPrint) {
    write("home/.cursor/mcp.json", "{");
    using Lines = std::vector<std::string>;
    struct Case { std::vector<std::string> arguments; std::optional<std::string> helperPath; int status; Lines out, err; };
    const Case cases[] = {
        {{"--all", "--help", "--app", "cursor"}, helper, 0, {MCPInstall::usage()}, {}},
        {{"--print"}, std::nullopt, 2, {}, {"couldn't tell where this bosken-mcp is"}},
        {{"--list", "--all", "--app", "cursor", "--dry-run", "--print"}, helper, 0,
         {AgentInstaller::manualSteps(helper, std::nullopt)}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        EXPECT_EQ(run(c.arguments, c.helperPath), c.status);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
    }
}

TEST_F(MCPInstallTest, ListWinsOverTargetsAndShowsEachState) {
    write("home/.cursor/mcp.json", boskenConfig(helper));
    write("home/.codex/config.toml", "[mcp_servers.bosken]\ncommand = \"/old/bosken-mcp\"\n");
    write("home/.gemini/settings.json", "{\"theme\": \"x\"} // mine");
    write("home/.codeium/windsurf/mcp_config.json", "{,");  // unreadable counts as nothing registered
    write("home/Library/Application Support/Claude/claude_desktop_config.json", boskenConfig(""));
    EXPECT_EQ(run({"--all", "--app", "codex", "--dry-run", "--list"}), 0);
    const auto h = home();
    ASSERT_EQ(out.size(), AgentApp::allCases.size());
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 6), (std::vector<std::string>{
        "claude-code  Claude Code: not found (" + h + "/.claude.json)",
        "claude-desktop  Claude (desktop app): starts another Bosken:  (" + h +
            "/Library/Application Support/Claude/claude_desktop_config.json)",
        "codex  Codex (CLI and app): starts another Bosken: /old/bosken-mcp (" + h + "/.codex/config.toml)",
        "cursor  Cursor: has Bosken (" + h + "/.cursor/mcp.json)",
        "gemini  Gemini CLI: found, no Bosken yet (" + h + "/.gemini/settings.json)",
        "windsurf  Windsurf: found, no Bosken yet (" + h + "/.codeium/windsurf/mcp_config.json)",
    }));
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(read("home/.cursor/mcp.json"), boskenConfig(helper));
}

// Which apps a run works on, in order: named ones first, then those found; each once.
TEST_F(MCPInstallTest, Targets) {
    EXPECT_EQ(run({"--all"}), 2);  // nothing found
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(err.at(0).ends_with("Add Bosken by hand:\n" + AgentInstaller::manualSteps(helper, std::nullopt)));
    struct Case { std::vector<std::string> arguments, headings; };
    const std::vector<Case> beforeAnyIsFound = {
        {{"--all", "--app", "gemini", "--dry-run"}, {"Gemini CLI"}},  // and writes nothing (checked below)
        {{"--dry-run"}, {"Claude Code"}},  // even when not found
    };
    const std::vector<Case> afterSomeAreFound = {
        {{"--app", "windsurf", "--all", "--dry-run"}, {"Windsurf", "Claude Code", "Cursor"}},
        {{"--app", "cursor", "--app", "cursor", "--dry-run"}, {"Cursor"}},
        {{"--dry-run"}, {"Claude Code"}},
    };
    for (const auto* cases : {&beforeAnyIsFound, &afterSomeAreFound}) {
        for (const auto& c : *cases) {
            EXPECT_EQ(run(c.arguments), 0) << ::testing::PrintToString(c.arguments);
            EXPECT_EQ(planHeadings(), c.headings) << ::testing::PrintToString(c.arguments);
        }
        EXPECT_FALSE(exists("home/.gemini"));
        for (const char* found : {"home/.cursor", "home/.claude", "home/.codeium/windsurf"})
            std::filesystem::create_directories(path(found));
    }
}

TEST_F(MCPInstallTest, UninstallShowsRemovesAndFindsNothingToRemove) {
    auto uninstall = [&](const std::vector<std::string>& arguments) {
        return captured([&] { return MCPInstall::runUninstall(arguments, {}, installer(), toOut, toErr); });
    };
    const auto cursor = home() + "/.cursor/mcp.json", backup = cursor + ".bosken-backup-" + InstallerTestSupport::stamp();
    const std::string original = "{\"mcpServers\": {\"a\": {}}}";
    write("home/.cursor/mcp.json", original);
    EXPECT_EQ(run({"--app", "cursor"}), 0);
    std::filesystem::remove(backup);
    const auto installed = read("home/.cursor/mcp.json");

    EXPECT_EQ(uninstall({"--app", "cursor", "--dry-run"}), 0);
    EXPECT_TRUE(out.at(0).starts_with("Cursor: Removes the entry below from " + cursor)) << out.at(0);
    EXPECT_EQ(read("home/.cursor/mcp.json"), installed);

    EXPECT_EQ(uninstall({"--app", "cursor", "--app", "gemini"}), 0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "Removed Bosken from Cursor in " + cursor + ". The old file is saved at " + backup +
                          ". Sessions of Cursor already running keep Bosken until they are restarted.");
    EXPECT_EQ(out[2], "Gemini CLI: Gemini CLI has no Bosken in " + home() + "/.gemini/settings.json. Nothing to remove.");
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(read("home/.cursor/mcp.json"), original);
    EXPECT_FALSE(exists("home/.gemini"));

    EXPECT_EQ(uninstall({"--all"}), 0);
    EXPECT_EQ(out.back(), "Cursor: Cursor has no Bosken in " + cursor + ". Nothing to remove.");
    EXPECT_EQ(uninstall({"--bogus"}), 2);
    EXPECT_EQ(err, std::vector<std::string>{"unknown option --bogus\n" + MCPInstall::uninstallUsage()});
}

TEST_F(MCPInstallTest, RunningOutOfMemoryFailsThatAppWithItsStepsAndTheNextAppStillRuns) {
    InstallerTestSupport::writeExecutable(path("bin/claude"));
    auto installer = InstallerTest::installer({{"PATH", path("bin")}}, true,
                                              CommandRunner{[](auto&&...) -> CommandRunner::Result { throw std::bad_alloc(); }});
    EXPECT_EQ(MCPInstall::run({"--app", "claude-code", "--app", "cursor"}, {}, helper, installer, toOut, toErr), 2);
    EXPECT_EQ(err, std::vector<std::string>{"Claude Code: Bosken ran out of memory working on " + home() + "/.claude.json.\nBy hand:\n" +
                                            AgentInstaller::manualSteps(helper, std::vector{AgentApp{Kind::claudeCode, home() + "/.claude.json", false}})});
    EXPECT_NE(read("home/.cursor/mcp.json").find("\"command\" : \"" + helper + "\""), std::string::npos);
}

}  // namespace
