#include "AgentMCP/MCPInstall.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "AgentSetupTests/InstallerTestSupport.hpp"

namespace MCPInstall = AgentMCP::MCPInstall;
using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

using InstallerTestSupport::boskenConfig;
using InstallerTestSupport::helper;
const std::string closingLine =
    "Turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each agent when Bosken asks.";

TEST(MCPInstallUsage, ExactText) {
    EXPECT_EQ(MCPInstall::usage(),
              "bosken-mcp install [--app <name> \xE2\x80\xA6] [--all] [--dry-run] [--print] [--list]\n"
              "Adds Bosken to agent apps: an MCP server named \"bosken\" that starts this helper. Before an app's config "
              "file is\nchanged, the entry is shown and the file is copied beside it (<file>.bosken-backup-<date>); "
              "everything else in the\nfile is kept, and the file is replaced atomically. A failure prints the manual "
              "steps and exits with status 2.\n"
              "  (nothing)   Claude Code, every session: `claude mcp add --scope user` when found, else ~/.claude.json\n"
              "  --app NAME  one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf, copilot, vscode, "
              "antigravity, opencode, zed, kiro; repeat for more\n"
              "  --all       every app found on this Mac (fails if none is)\n"
              "  --dry-run   show what would be written; change nothing\n"
              "  --list      the apps found, and whether each has Bosken\n"
              "  --print     the manual steps for every app; change nothing\n"
              "Then turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each "
              "agent when Bosken asks.");
}

TEST(MCPInstallOptions, Parsing) {
    using Options = MCPInstall::Options;
    const std::string appError = "--app needs one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf, copilot, vscode, antigravity, opencode, zed, kiro";
    struct Case {
        std::vector<std::string> arguments;
        std::variant<Options, std::string> expected;
    };
    const Case cases[] = {
        {{}, Options{}},
        {{"--app", "cursor", "--app", "cursor"}, Options{.apps = {Kind::cursor}}},
        {{"--app", "windsurf", "--all", "--app", "claude-code"}, Options{.apps = {Kind::windsurf, Kind::claudeCode}, .all = true}},
        {{"--dry-run", "--list", "--print", "-h"}, Options{.apps = {}, .dryRun = true, .printSteps = true, .list = true, .help = true}},
        {{"--help"}, Options{.apps = {}, .help = true}},
        {{"--app", "--all"}, appError},
        {{"--app"}, appError},
        {{"--app", "Cursor"}, appError},
        {{"--app=cursor"}, "unknown option --app=cursor\n" + MCPInstall::usage()},
        {{"--help", "--bogus"}, "unknown option --bogus\n" + MCPInstall::usage()},
        {{"--ALL"}, "unknown option --ALL\n" + MCPInstall::usage()},
        {{"-ah"}, "unknown option -ah\n" + MCPInstall::usage()},
        {{"install"}, "unknown option install\n" + MCPInstall::usage()},
        {{""}, "unknown option \n" + MCPInstall::usage()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Options::parse(c.arguments), c.expected) << ::testing::PrintToString(c.arguments);
    }
}

// No agent command is on PATH, so a command that runs anyway is a fault.
class MCPInstallTest : public InstallerTestSupport::InstallerTest {
protected:
    std::vector<std::string> out, err;

    AgentInstaller installer() const {
        return InstallerTest::installer({{"PATH", path("bin")}}, false,
                                        CommandRunner{[](auto&&...) { return CommandRunner::Result{1, "unexpected"}; }});
    }
    int run(const std::vector<std::string>& arguments, std::optional<std::string> helperPath = helper) {
        out.clear();
        err.clear();
        return MCPInstall::run(arguments, {}, helperPath, installer(),
                               [this](const std::string& text) { out.push_back(text); },
                               [this](const std::string& text) { err.push_back(text); });
    }
    std::string read(const std::string& relative) const { return TestSupport::readFile(path(relative)); }
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
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> helperPath;
        int status;
        Lines out, err;
    };
    const Case cases[] = {
        {{"--all", "--help", "--app", "cursor"}, helper, 0, {MCPInstall::usage()}, {}},
        {{"--help"}, std::nullopt, 0, {MCPInstall::usage()}, {}},
        {{"--help", "--bogus"}, helper, 2, {}, {"unknown option --bogus\n" + MCPInstall::usage()}},
        {{"--app", "--all"}, helper, 2, {}, {"--app needs one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf, copilot, vscode, antigravity, opencode, zed, kiro"}},
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
    EXPECT_EQ(out, (std::vector<std::string>{
                       "claude-code  Claude Code: not found (" + h + "/.claude.json)",
                       "claude-desktop  Claude (desktop app): starts another Bosken:  (" + h +
                           "/Library/Application Support/Claude/claude_desktop_config.json)",
                       "codex  Codex (CLI and app): starts another Bosken: /old/bosken-mcp (" + h + "/.codex/config.toml)",
                       "cursor  Cursor: has Bosken (" + h + "/.cursor/mcp.json)",
                       "gemini  Gemini CLI: found, no Bosken yet (" + h + "/.gemini/settings.json)",
                       "windsurf  Windsurf: found, no Bosken yet (" + h + "/.codeium/windsurf/mcp_config.json)",
                       "copilot  GitHub Copilot: not found (" + h + "/.copilot/mcp-config.json)",
                       "vscode  VS Code: not found (" + h + "/Library/Application Support/Code/User/mcp.json)",
                       "antigravity  Antigravity: not found (" + h + "/.gemini/config/mcp_config.json)",
                       "opencode  OpenCode: not found (" + h + "/.config/opencode/opencode.jsonc)",
                       "zed  Zed: not found (" + h + "/.config/zed/settings.json)",
                       "kiro  Kiro: not found (" + h + "/.kiro/settings/mcp.json)",
                   }));
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(read("home/.cursor/mcp.json"), boskenConfig(helper));
}

TEST_F(MCPInstallTest, NoOptionsTargetsClaudeCodeEvenWhenNotFound) {
    std::filesystem::create_directories(path("home/.cursor"));
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(planHeadings(), std::vector<std::string>{"Claude Code"});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "Added Bosken to Claude Code in " + home() +
                          "/.claude.json. New Claude Code sessions can use Bosken; restart the ones already running.");
    EXPECT_EQ(out[2], closingLine);
    EXPECT_TRUE(exists("home/.claude.json"));
    EXPECT_FALSE(exists("home/.cursor/mcp.json"));
}

TEST_F(MCPInstallTest, TargetsInOrderWithoutRepeats) {
    std::filesystem::create_directories(path("home/.cursor"));
    std::filesystem::create_directories(path("home/.claude"));
    std::filesystem::create_directories(path("home/.codeium/windsurf"));
    EXPECT_EQ(run({"--app", "windsurf", "--all", "--dry-run"}), 0);
    EXPECT_EQ(planHeadings(), (std::vector<std::string>{"Windsurf", "Claude Code", "Cursor"}));
    EXPECT_EQ(run({"--app", "cursor", "--app", "cursor", "--dry-run"}), 0);
    EXPECT_EQ(planHeadings(), std::vector<std::string>{"Cursor"});
}

TEST_F(MCPInstallTest, AllWithNothingFoundPrintsTheManualSteps) {
    EXPECT_EQ(run({"--all"}), 2);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(err, std::vector<std::string>{
                       "couldn't find Claude Code, Claude, Codex, Cursor, Gemini CLI, Windsurf, GitHub Copilot, VS Code, "
                       "Antigravity, OpenCode, Zed or Kiro on this Mac, so nothing was changed. Add Bosken by hand:\n" +
                       AgentInstaller::manualSteps(helper, std::nullopt)});
    // A named app is a target even when nothing is found.
    EXPECT_EQ(run({"--all", "--app", "gemini", "--dry-run"}), 0);
    EXPECT_EQ(planHeadings(), std::vector<std::string>{"Gemini CLI"});
}

TEST_F(MCPInstallTest, DryRunShowsPlansAndChangesNothing) {
    write("home/.cursor/mcp.json", "{}");
    EXPECT_EQ(run({"--app", "cursor", "--app", "gemini", "--dry-run"}), 0);
    ASSERT_EQ(out.size(), 2u);
    const auto config = home() + "/.cursor/mcp.json";
    auto inst = installer();
    auto plan = std::get<AgentSetup::AgentPlan>(inst.plan(inst.app(Kind::cursor), helper));
    EXPECT_EQ(out[0], "Cursor: " + plan.summary + "\n" + plan.preview);
    EXPECT_EQ(out[1].substr(0, out[1].find('\n')),
              "Gemini CLI: Creates " + home() + "/.gemini/settings.json with the entry below.");
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(read("home/.cursor/mcp.json"), "{}");
}

TEST_F(MCPInstallTest, SecondRunFindsNothingToChange) {
    EXPECT_EQ(run({"--app", "codex"}), 0);
    auto first = read("home/.codex/config.toml");
    EXPECT_EQ(run({"--app", "codex"}), 0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "Codex (CLI and app) already has Bosken (in " + home() + "/.codex/config.toml). Nothing was changed.");
    EXPECT_EQ(read("home/.codex/config.toml"), first);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("home/.codex")), {}), 1);
}

TEST_F(MCPInstallTest, UninstallShowsRemovesAndFindsNothingToRemove) {
    auto uninstall = [&](const std::vector<std::string>& arguments) {
        out.clear();
        err.clear();
        return MCPInstall::runUninstall(arguments, {}, installer(),
                                        [this](const std::string& text) { out.push_back(text); },
                                        [this](const std::string& text) { err.push_back(text); });
    };
    const auto cursor = home() + "/.cursor/mcp.json", backup = cursor + ".bosken-backup-" + InstallerTestSupport::stamp();
    const std::string original = "{\"mcpServers\": {\"a\": {}}}";
    write("home/.cursor/mcp.json", original);
    EXPECT_EQ(run({"--app", "cursor"}), 0);
    std::filesystem::remove(backup);
    const auto installed = read("home/.cursor/mcp.json");

    EXPECT_EQ(uninstall({"--app", "cursor", "--dry-run"}), 0);
    EXPECT_EQ(out, std::vector<std::string>{
                       "Cursor: Removes the entry below from " + cursor +
                       ", keeping everything else in it. First copies the file to " + backup + ".\n{\n  \"mcpServers\" : {\n"
                       "    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" + helper + "\"\n    }\n  }\n}"});
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
    EXPECT_EQ(uninstall({"--help"}), 0);
    EXPECT_EQ(out, std::vector<std::string>{MCPInstall::uninstallUsage()});
    EXPECT_EQ(uninstall({"--bogus"}), 2);
    EXPECT_EQ(err, std::vector<std::string>{"unknown option --bogus\n" + MCPInstall::uninstallUsage()});
}

TEST(MCPInstallHome, HomeVariableThenUserDatabase) {
    EXPECT_EQ(MCPInstall::homeDirectory({{"HOME", "/Users/me"}}), "/Users/me");
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(MCPInstall::homeDirectory({{"HOME", ""}}), std::string(entry->pw_dir));
    EXPECT_EQ(MCPInstall::homeDirectory({}), std::string(entry->pw_dir));
}

TEST(MCPInstallOwnPath, IsTheRunningExecutableResolved) {
    auto own = MCPInstall::ownPath();
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->front(), '/');
    EXPECT_EQ(std::filesystem::path(*own).filename(), "AgentMCPTests");
    EXPECT_EQ(std::filesystem::canonical(*own).string(), *own);
}

}  // namespace
