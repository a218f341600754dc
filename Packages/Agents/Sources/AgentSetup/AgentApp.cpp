#include "AgentSetup/AgentApp.hpp"

#include <string>

namespace AgentSetup {

namespace {

struct KindFacts {
    std::string_view rawValue;
    std::string_view name;
    std::string_view restartNote;
};

const KindFacts& facts(AgentApp::Kind kind) {
    static constexpr KindFacts table[] = {
        {"claude-code", "Claude Code", "New Claude Code sessions can use Bosken; restart the ones already running."},
        {"claude-desktop", "Claude (desktop app)", "Quit Claude (\xE2\x8C\x98Q) and open it again to load Bosken."},
        {"codex", "Codex (CLI and app)", "Start a new Codex session, or restart the Codex app, to load Bosken."},
        {"cursor", "Cursor", "Restart Cursor, or toggle Bosken on in Cursor's MCP settings."},
        {"gemini", "Gemini CLI", "Start a new Gemini CLI session to load Bosken."},
        {"windsurf", "Windsurf", "Restart Windsurf, or refresh its MCP servers."},
        {"copilot", "GitHub Copilot", "Start a new Copilot session, or reload Copilot in your editor, to load Bosken."},
        {"vscode", "VS Code", "Restart VS Code, or start Bosken from the MCP: List Servers command."},
        {"antigravity", "Antigravity", "Restart Antigravity, or refresh its MCP servers, to load Bosken."},
        {"opencode", "OpenCode", "Start a new OpenCode session to load Bosken."},
        {"zed", "Zed", "Zed loads Bosken as soon as it sees the saved settings; check the Agent panel's settings."},
        {"kiro", "Kiro", "Restart Kiro, or reconnect its MCP servers, to load Bosken."},
    };
    return table[static_cast<int>(kind)];
}

}  // namespace

std::string_view AgentApp::rawValue(Kind kind) { return facts(kind).rawValue; }

std::string_view AgentApp::name(Kind kind) { return facts(kind).name; }

std::string_view AgentApp::restartNote(Kind kind) { return facts(kind).restartNote; }

std::string AgentApp::removalNote(Kind kind) {
    return "Sessions of " + std::string(name(kind)) + " already running keep Bosken until they are restarted.";
}

std::optional<AgentApp::Kind> AgentApp::kindWithRawValue(std::string_view rawValue) {
    for (auto kind : allCases)
        if (facts(kind).rawValue == rawValue) return kind;
    return std::nullopt;
}

}  // namespace AgentSetup
