#include <gtest/gtest.h>

#include "AgentSetup/AgentInstaller.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using Kind = AgentApp::Kind;

namespace {

const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

std::string jsonBlock(const std::string& command) {
    return "    {\n      \"mcpServers\" : {\n        \"bosken\" : {\n          \"args\" : [],\n          \"command\" : \"" +
           command + "\"\n        }\n      }\n    }\n";
}

TEST(ManualSteps, EveryAppWithTildePaths) {
    const std::string expected =
        "The helper to start: " + helper + "\n"
        "\n"
        "Claude Code\n"
        "  Run: claude mcp add --scope user bosken -- " + helper + "\n"
        "  Then: New Claude Code sessions can use Bosken; restart the ones already running.\n"
        "\n"
        "Claude (desktop app)\n"
        "  Add this to ~/Library/Application Support/Claude/claude_desktop_config.json, merging it into any "
        "\"mcpServers\" already there:\n" +
        jsonBlock(helper) +
        "  Then: Quit Claude (\xE2\x8C\x98Q) and open it again to load Bosken.\n"
        "\n"
        "Codex (CLI and app)\n"
        "  Run: codex mcp add bosken -- " + helper + "\n"
        "  Or add this to ~/.codex/config.toml:\n"
        "    [mcp_servers.bosken]\n"
        "    command = \"" + helper + "\"\n"
        "    args = []\n"
        "  Then: Start a new Codex session, or restart the Codex app, to load Bosken.\n"
        "\n"
        "Cursor\n"
        "  Add this to ~/.cursor/mcp.json, merging it into any \"mcpServers\" already there:\n" +
        jsonBlock(helper) +
        "  Then: Restart Cursor, or toggle Bosken on in Cursor's MCP settings.\n"
        "\n"
        "Gemini CLI\n"
        "  Add this to ~/.gemini/settings.json, merging it into any \"mcpServers\" already there:\n" +
        jsonBlock(helper) +
        "  Then: Start a new Gemini CLI session to load Bosken.\n"
        "\n"
        "Windsurf\n"
        "  Add this to ~/.codeium/windsurf/mcp_config.json, merging it into any \"mcpServers\" already there:\n" +
        jsonBlock(helper) +
        "  Then: Restart Windsurf, or refresh its MCP servers.\n";
    EXPECT_EQ(AgentInstaller::manualSteps(helper, std::nullopt), expected);
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

    const std::string quoted = "/Users/o'neil/Bosken.app/Contents/Helpers/bosken-mcp";
    auto text = AgentInstaller::manualSteps(quoted, std::vector<AgentApp>{{Kind::claudeCode, "/x", true}});
    EXPECT_NE(text.find("  Run: claude mcp add --scope user bosken -- '/Users/o'\\''neil/Bosken.app/Contents/Helpers/bosken-mcp'\n"),
              std::string::npos);
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
        {"a\n\nb\n", "    a\n    \n    b\n"},
        {"a", "    a\n"},
        {"", "    \n"},
        {"\n", "    \n"},
        {"a\r\nb", "    a\r\n    b\n"},
        {"a\n\n", "    a\n    \n"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(AgentInstaller::indent(input), expected) << input;
}

}  // namespace
