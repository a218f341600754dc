#pragma once

#include <string>

namespace AgentSetup {

// Why registering the helper in Claude Code failed (`ClaudeCodeSetup::SetupError`). Kept apart
// from ClaudeCodeSetup because ClaudeConfigFile, which ClaudeCodeSetup holds, reports it too.
struct ClaudeSetupError {
    enum class Kind { notInstalled, unreadableConfig, claudeFailed, writeFailed, notApplied };
    Kind kind = Kind::notApplied;
    // The helper path, the settings path, claude's one-line message or the write's reason;
    // empty for notApplied.
    std::string detail;

    static ClaudeSetupError notInstalled(std::string helperPath) { return {Kind::notInstalled, std::move(helperPath)}; }
    static ClaudeSetupError unreadableConfig(std::string path) { return {Kind::unreadableConfig, std::move(path)}; }
    static ClaudeSetupError claudeFailed(std::string message) { return {Kind::claudeFailed, std::move(message)}; }
    static ClaudeSetupError writeFailed(std::string reason) { return {Kind::writeFailed, std::move(reason)}; }
    static ClaudeSetupError notApplied() { return {Kind::notApplied, {}}; }

    // The whole sentence for the user.
    std::string message() const;

    friend bool operator==(const ClaudeSetupError&, const ClaudeSetupError&) = default;
};

}  // namespace AgentSetup
