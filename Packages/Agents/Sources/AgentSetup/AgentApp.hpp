#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace AgentSetup {

// One agent app that can start an MCP server, where its configuration lives and whether it was
// found on this Mac.
struct AgentApp {
    // The apps, in the order of every list, listing and set of manual steps.
    enum class Kind {
        claudeCode, claudeDesktop, codex, cursor, gemini, windsurf,
        copilot, vscode, antigravity, opencode, zed, kiro,
    };

    static constexpr std::array<Kind, 12> allCases{
        Kind::claudeCode, Kind::claudeDesktop, Kind::codex,       Kind::cursor,   Kind::gemini, Kind::windsurf,
        Kind::copilot,    Kind::vscode,        Kind::antigravity, Kind::opencode, Kind::zed,    Kind::kiro,
    };

    // The identifier typed after --app ("claude-code", …).
    static std::string_view rawValue(Kind kind);
    // The kind with exactly this identifier (case-sensitive, untrimmed), or none.
    static std::optional<Kind> kindWithRawValue(std::string_view rawValue);
    // The display name used in every message ("Claude Code", …).
    static std::string_view name(Kind kind);
    // How the user makes the app load the new server; ends a success message.
    static std::string_view restartNote(Kind kind);
    // How the user makes the app let go of a removed server; ends a removal message.
    static std::string removalNote(Kind kind);

    Kind kind = Kind::claudeCode;
    // The configuration file as the app looks for it: links not resolved, need not exist.
    std::string configURL;
    bool isDetected = false;

    std::string_view id() const { return rawValue(kind); }
    std::string_view name() const { return name(kind); }

    friend bool operator==(const AgentApp&, const AgentApp&) = default;
};

}  // namespace AgentSetup
