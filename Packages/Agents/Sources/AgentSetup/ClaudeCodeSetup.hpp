#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace AgentSetup {

// Claude Code's side of registration: where its settings live, which helper locations may be
// registered, how a path is quoted for the `claude mcp add` line, and what is registered now.
class ClaudeCodeSetup {
public:
    using Environment = std::map<std::string, std::string>;

    // The MCP server name the helper registers under.
    static constexpr std::string_view serverName = "bosken";

    // What the settings register under `serverName`, relative to one helper path.
    struct Status {
        enum class Kind { otherHelper, connected, notConnected };
        Kind kind = Kind::notConnected;
        // The registered command for otherHelper (possibly empty); empty otherwise.
        std::string command;

        static Status otherHelper(std::string command) { return {Kind::otherHelper, std::move(command)}; }
        static Status connected() { return {Kind::connected, {}}; }
        static Status notConnected() { return {Kind::notConnected, {}}; }

        friend bool operator==(const Status&, const Status&) = default;
    };

    // Claude Code's settings file: CLAUDE_CONFIG_DIR/.claude.json when that variable is set and
    // non-empty (taken as written), else home/.claude.json.
    static std::string configURL(const Environment& environment, const std::string& home);

    // True when `helperPath` is an absolute path inside an app bundle's Contents/Helpers that is
    // neither on a mounted volume (/Volumes/) nor in a translocated copy (/AppTranslocation/).
    static bool isInstalled(std::string_view helperPath);

    // `text` unchanged when every scalar is a letter, mark or digit of any script or one of
    // "/._-+"; otherwise wrapped in single quotes with each inner quote written '\''.
    // The empty text stays empty.
    static std::string shellQuoted(std::string_view text);
};

}  // namespace AgentSetup
