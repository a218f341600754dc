#include <gtest/gtest.h>

#include "AgentSetup/AgentInstaller.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using Kind = AgentApp::Kind;

namespace {

const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

// The pasted block; `extra` are the entry's members after "command", each line ending ",\n" but the last.
std::string jsonBlock(const std::string& command, const std::string& servers = "mcpServers",
                      const std::string& extra = "") {
    return "    {\n      \"" + servers + "\" : {\n        \"bosken\" : {\n          \"args\" : [],\n          \"command\" : \"" +
           command + "\"" + (extra.empty() ? "" : ",\n" + extra) + "\n        }\n      }\n    }\n";
}

// Without a list: every app, its file under "~", its entry in its app's own shape.
TEST(ManualSteps, EveryAppWithTildePaths) {
    const auto text = AgentInstaller::manualSteps(helper, std::nullopt);
    for (const std::string& part : std::vector<std::string>{
             "Add this to ~/Library/Application Support/Code/User/mcp.json, merging it into any \"servers\" already there:\n" +
              jsonBlock(helper, "servers", "          \"type\" : \"stdio\""),
          "\nKiro\n  Add this to ~/.kiro/settings/mcp.json,",
          "\n    {\n      \"mcp\" : {\n        \"bosken\" : {\n          \"command\" : [\n            \"" + helper + "\"\n"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

TEST(ManualSteps, RemovalInEachForm) {
    std::vector<AgentApp> apps{{Kind::claudeCode, "/cc/.claude.json", true},
                               {Kind::codex, "/c/config.toml", true},
                               {Kind::zed, "/z/settings.json", true}};
    EXPECT_EQ(AgentInstaller::manualRemovalSteps(apps),
              "Claude Code\n"
              "  Run: claude mcp remove --scope user bosken\n"
              "  Then: Sessions of Claude Code already running keep Bosken until they are restarted.\n"
              "\n"
              "Codex (CLI and app)\n"
              "  Run: codex mcp remove bosken\n"
              "  Or delete the [mcp_servers.bosken] table, and any [mcp_servers.bosken.\u2026] tables, from /c/config.toml.\n"
              "  Then: Sessions of Codex (CLI and app) already running keep Bosken until they are restarted.\n"
              "\n"
              "Zed\n"
              "  Delete the \"bosken\" entry from \"context_servers\" in /z/settings.json.\n"
              "  Then: Sessions of Zed already running keep Bosken until they are restarted.\n");
    EXPECT_NE(AgentInstaller::manualRemovalSteps(std::nullopt).find("from \"servers\" in ~/Library/Application Support/Code/User/mcp.json.\n"),
              std::string::npos);
}

// A given list keeps its order and real paths; Claude Code's file is never named (its command edits it).
TEST(ManualSteps, GivenAppsInTheirOrderWithRealPaths) {
    std::vector<AgentApp> apps{{Kind::cursor, "/Users/me/.cursor/mcp.json", true}, {Kind::claudeCode, "/cc/.claude.json", true}};
    EXPECT_EQ(AgentInstaller::manualSteps(helper, apps),
              "The helper to start: " + helper + "\n\nCursor\n"
              "  Add this to /Users/me/.cursor/mcp.json, merging it into any \"mcpServers\" already there:\n" +
                  jsonBlock(helper) + "  Then: Restart Cursor, or toggle Bosken on in Cursor's MCP settings.\n"
                  "\nClaude Code\n"
                  "  Run: claude mcp add --scope user bosken -- " + helper + "\n"
                  "  Then: New Claude Code sessions can use Bosken; restart the ones already running.\n");
    EXPECT_EQ(AgentInstaller::manualSteps(helper, std::vector<AgentApp>{}), "The helper to start: " + helper + "\n");
}

TEST(ManualSteps, ShellQuotingOnlyInRunLines) {
    const std::string spaced = "/Users/me/My Apps/Bosken.app/Contents/Helpers/bosken-mcp";
    std::vector<AgentApp> apps{{Kind::claudeCode, "/x", true}, {Kind::codex, "/c/config.toml", true}};
    EXPECT_EQ(AgentInstaller::manualSteps(spaced, apps),
              "The helper to start: " + spaced + "\n"
              "\nClaude Code\n"
              "  Run: claude mcp add --scope user bosken -- '" + spaced + "'\n"
              "  Then: New Claude Code sessions can use Bosken; restart the ones already running.\n"
              "\nCodex (CLI and app)\n"
              "  Run: codex mcp add bosken -- '" + spaced + "'\n"
              "  Or add this to /c/config.toml:\n"
              "    [mcp_servers.bosken]\n"
              "    command = \"" + spaced + "\"\n"
              "    args = []\n"
              "  Then: Start a new Codex session, or restart the Codex app, to load Bosken.\n");
}

TEST(ManualSteps, FormatQuotingInPastedText) {
    const std::string odd = "/A \"q\" \\b/Bosken.app/Contents/Helpers/bosken-mcp";
    auto text = AgentInstaller::manualSteps(odd, std::vector<AgentApp>{{Kind::codex, "/c", true}, {Kind::cursor, "/u", true}});
    EXPECT_NE(text.find("    command = \"/A \\\"q\\\" \\\\b/Bosken.app/Contents/Helpers/bosken-mcp\"\n"), std::string::npos);
    EXPECT_NE(text.find("          \"command\" : \"/A \\\"q\\\" \\\\b/Bosken.app/Contents/Helpers/bosken-mcp\"\n"),
              std::string::npos);
}

TEST(ManualSteps, Indent) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\n\nb\n", "    a\n    \n    b\n"}, {"a", "    a\n"}, {"", "    \n"}, {"a\r\nb", "    a\r\n    b\n"}, {"a\n\n", "    a\n    \n"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(AgentInstaller::indent(input), expected) << input;
}

}  // namespace
