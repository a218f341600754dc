#include "AgentSetup/AgentInstaller.hpp"
#include "AgentSetup/JSONMCPConfig.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"

namespace AgentSetup {

namespace {

// The paths shown when no app was detected: what a user types, not this machine's paths.
std::string_view shownPath(AgentApp::Kind kind) {
    switch (kind) {
        case AgentApp::Kind::claudeCode: return "~/.claude.json";
        case AgentApp::Kind::claudeDesktop: return "~/Library/Application Support/Claude/claude_desktop_config.json";
        case AgentApp::Kind::codex: return "~/.codex/config.toml";
        case AgentApp::Kind::cursor: return "~/.cursor/mcp.json";
        case AgentApp::Kind::gemini: return "~/.gemini/settings.json";
        case AgentApp::Kind::windsurf: return "~/.codeium/windsurf/mcp_config.json";
        case AgentApp::Kind::copilot: return "~/.copilot/mcp-config.json";
        case AgentApp::Kind::vscode: return "~/Library/Application Support/Code/User/mcp.json";
        case AgentApp::Kind::antigravity: return "~/.gemini/config/mcp_config.json";
        case AgentApp::Kind::opencode: return "~/.config/opencode/opencode.json";
        case AgentApp::Kind::zed: return "~/.config/zed/settings.json";
        case AgentApp::Kind::kiro: return "~/.kiro/settings/mcp.json";
    }
    return {};
}

std::vector<std::pair<AgentApp::Kind, std::string>> sectionsFor(const std::optional<std::vector<AgentApp>>& apps) {
    std::vector<std::pair<AgentApp::Kind, std::string>> sections;
    if (apps) {
        for (const auto& app : *apps) sections.emplace_back(app.kind, app.configURL);
    } else {
        for (auto kind : AgentApp::allCases) sections.emplace_back(kind, std::string(shownPath(kind)));
    }
    return sections;
}

}  // namespace

std::string AgentInstaller::manualSteps(const std::string& helperPath,
                                        const std::optional<std::vector<AgentApp>>& apps) {
    const auto sections = sectionsFor(apps);
    const std::string server(serverName);
    const std::string quoted = ClaudeCodeSetup::shellQuoted(helperPath);
    std::string text = "The helper to start: " + helperPath + "\n";
    for (const auto& [kind, path] : sections) {
        text += "\n" + std::string(AgentApp::name(kind)) + "\n";
        switch (kind) {
            case AgentApp::Kind::claudeCode:
                text += "  Run: claude mcp add --scope user " + server + " -- " + quoted + "\n";
                break;
            case AgentApp::Kind::codex:
                text += "  Run: codex mcp add " + server + " -- " + quoted + "\n";
                text += "  Or add this to " + path + ":\n";
                text += indent("[mcp_servers." + server + "]\ncommand = " + TOMLMCPConfig::quoted(helperPath) +
                               "\nargs = []\n");
                break;
            default: {
                const auto appFormat = format(kind);
                text += "  Add this to " + path + ", merging it into any \"" + std::string(appFormat.serversKey) +
                        "\" already there:\n";
                text += indent(JSONMCPConfig::snippet(appFormat, server, entry(kind, helperPath)));
                break;
            }
        }
        text += "  Then: " + std::string(AgentApp::restartNote(kind)) + "\n";
    }
    return text;
}

std::string AgentInstaller::manualRemovalSteps(const std::optional<std::vector<AgentApp>>& apps) {
    const std::string server(serverName);
    std::string text;
    for (const auto& [kind, path] : sectionsFor(apps)) {
        if (!text.empty()) text += "\n";
        text += std::string(AgentApp::name(kind)) + "\n";
        switch (kind) {
            case AgentApp::Kind::claudeCode:
                text += "  Run: claude mcp remove --scope user " + server + "\n";
                break;
            case AgentApp::Kind::codex:
                text += "  Run: codex mcp remove " + server + "\n";
                text += "  Or delete the [mcp_servers." + server + "] table, and any [mcp_servers." + server +
                        ".\u2026] tables, from " + path + ".\n";
                break;
            default:
                text += "  Delete the \"" + server + "\" entry from \"" + std::string(format(kind).serversKey) +
                        "\" in " + path + ".\n";
                break;
        }
        text += "  Then: " + AgentApp::removalNote(kind) + "\n";
    }
    return text;
}

std::string AgentInstaller::indent(std::string_view text) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            // The last piece; empty after a final line feed, and then dropped.
            if (start < text.size() || start == 0) out.append("    ").append(text.substr(start)).append("\n");
            break;
        }
        out.append("    ").append(text.substr(start, end - start)).append("\n");
        start = end + 1;
    }
    return out;
}

}  // namespace AgentSetup
