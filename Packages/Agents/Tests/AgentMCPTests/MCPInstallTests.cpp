#include "AgentMCP/MCPInstall.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "TestSupport/TempDir.hpp"

namespace MCPInstall = AgentMCP::MCPInstall;
using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::CommandRunner;
using Kind = AgentApp::Kind;

namespace {

const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::string closingLine =
    "Turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each agent when Bosken asks.";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

TEST(MCPInstallUsage, ExactText) {
    EXPECT_EQ(lines(MCPInstall::usage()),
              (std::vector<std::string>{
                  "bosken-mcp install [--app <name> \xE2\x80\xA6] [--all] [--dry-run] [--print] [--list]",
                  "Adds Bosken to agent apps: an MCP server named \"bosken\" that starts this helper. Before an app's "
                  "config file is",
                  "changed, the entry is shown and the file is copied beside it (<file>.bosken-backup-<date>); "
                  "everything else in the",
                  "file is kept, and the file is replaced atomically. A failure prints the manual steps and exits with "
                  "status 2.",
                  "  (nothing)   Claude Code, every session: `claude mcp add --scope user` when found, else ~/.claude.json",
                  "  --app NAME  one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf; repeat for more",
                  "  --all       every app found on this Mac (fails if none is)",
                  "  --dry-run   show what would be written; change nothing",
                  "  --list      the apps found, and whether each has Bosken",
                  "  --print     the manual steps for every app; change nothing",
                  "Then turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow "
                  "each agent when Bosken asks.",
              }));
    EXPECT_NE(MCPInstall::usage().back(), '\n');
}

TEST(MCPInstallOptions, Parsing) {
    using Options = MCPInstall::Options;
    const std::string appError = "--app needs one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf";
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

class MCPInstallTest : public TestSupport::TempDirTest {
protected:
    std::vector<std::string> out, err;
    std::vector<std::vector<std::string>> commands;

    std::string home() const { return path("home"); }
    AgentInstaller installer() {
        CommandRunner runner{[this](const std::string&, const std::vector<std::string>& arguments,
                                    const CommandRunner::Environment&) {
            commands.push_back(arguments);
            return CommandRunner::Result{1, "unexpected"};
        }};
        return AgentInstaller({{"PATH", path("bin")}}, home(), std::vector<std::string>{}, false, runner,
                              [] { return std::chrono::system_clock::from_time_t(1700000000); });
    }
    int run(const std::vector<std::string>& arguments, std::optional<std::string> helperPath = helper) {
        out.clear();
        err.clear();
        return MCPInstall::run(arguments, {}, helperPath, installer(),
                               [this](const std::string& text) { out.push_back(text); },
                               [this](const std::string& text) { err.push_back(text); });
    }
    void write(const std::string& relative, const std::string& bytes) { TestSupport::writeFile(path(relative), bytes); }
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

TEST_F(MCPInstallTest, HelpWinsOverOtherValidOptions) {
    EXPECT_EQ(run({"--all", "--help", "--app", "cursor"}), 0);
    EXPECT_EQ(out, std::vector<std::string>{MCPInstall::usage()});
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(run({"--help"}, std::nullopt), 0);
}

TEST_F(MCPInstallTest, UsageErrorsExitTwo) {
    EXPECT_EQ(run({"--help", "--bogus"}), 2);
    EXPECT_EQ(err, std::vector<std::string>{"unknown option --bogus\n" + MCPInstall::usage()});
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(run({"--app", "--all"}), 2);
    EXPECT_EQ(err, std::vector<std::string>{"--app needs one of: claude-code, claude-desktop, codex, cursor, gemini, windsurf"});
}

TEST_F(MCPInstallTest, MissingHelperPath) {
    EXPECT_EQ(run({"--print"}, std::nullopt), 2);
    EXPECT_EQ(err, std::vector<std::string>{"couldn't tell where this bosken-mcp is"});
}

TEST_F(MCPInstallTest, PrintWinsOverEverythingElseAndReadsNothing) {
    write("home/.cursor/mcp.json", "{");
    EXPECT_EQ(run({"--list", "--all", "--app", "cursor", "--dry-run", "--print"}), 0);
    EXPECT_EQ(out, std::vector<std::string>{AgentInstaller::manualSteps(helper, std::nullopt)});
    EXPECT_TRUE(err.empty());
}

TEST_F(MCPInstallTest, ListWinsOverTargetsAndShowsEachState) {
    write("home/.cursor/mcp.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\"}}}");
    write("home/.codex/config.toml", "[mcp_servers.bosken]\ncommand = \"/old/bosken-mcp\"\n");
    std::filesystem::create_directories(path("home/.gemini"));
    write("home/.codeium/windsurf/mcp_config.json", "{,");  // unreadable counts as nothing registered
    write("home/Library/Application Support/Claude/claude_desktop_config.json",
          "{\"mcpServers\": {\"bosken\": {\"command\": \"\"}}}");
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
                   }));
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(read("home/.cursor/mcp.json"), "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\"}}}");
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
    EXPECT_EQ(run({"--app", "gemini", "--app", "codex", "--dry-run"}), 0);
    EXPECT_EQ(planHeadings(), (std::vector<std::string>{"Gemini CLI", "Codex (CLI and app)"}));
}

TEST_F(MCPInstallTest, AllWithNothingFoundPrintsTheManualSteps) {
    EXPECT_EQ(run({"--all"}), 2);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(err, std::vector<std::string>{
                       "couldn't find Claude Code, Claude, Codex, Cursor, Gemini CLI or Windsurf on this Mac, so nothing "
                       "was changed. Add Bosken by hand:\n" +
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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("home/.cursor")), {}), 1);
    EXPECT_FALSE(exists("home/.gemini"));
}

TEST_F(MCPInstallTest, FirstAppFailingDoesNotStopTheSecond) {
    write("home/.cursor/mcp.json", "{\"mcpServers\": {},}");
    EXPECT_EQ(run({"--app", "cursor", "--app", "gemini"}), 2);
    const auto cursor = home() + "/.cursor/mcp.json";
    EXPECT_EQ(read("home/.cursor/mcp.json"), "{\"mcpServers\": {},}");
    EXPECT_TRUE(exists("home/.gemini/settings.json"));
    EXPECT_EQ(err, std::vector<std::string>{
                       "Cursor: " + cursor +
                       " wasn't changed: it isn't valid JSON (comments and trailing commas aren't accepted).\nBy hand:\n" +
                       AgentInstaller::manualSteps(helper, std::vector<AgentApp>{installer().app(Kind::cursor)})});
    EXPECT_EQ(err[0].back(), '\n');
    ASSERT_EQ(out.size(), 2u);  // Gemini's plan and result, no closing line
    EXPECT_EQ(out[1], "Added Bosken to Gemini CLI in " + home() +
                          "/.gemini/settings.json. Start a new Gemini CLI session to load Bosken.");
}

TEST_F(MCPInstallTest, HelperOutsideApplicationsFailsEachTarget) {
    const std::string mounted = "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp";
    EXPECT_EQ(run({"--app", "cursor", "--app", "codex"}, mounted), 2);
    ASSERT_EQ(err.size(), 2u);
    EXPECT_EQ(err[1].substr(0, err[1].find('\n')),
              "Codex (CLI and app): Move Bosken to Applications and open it from there first: an agent would start the "
              "helper at " + mounted + ".");
    EXPECT_TRUE(out.empty());
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
