#include "AgentSetup/ClaudeCodeSetup.hpp"

#include <filesystem>

#include "AgentSetup/UnicodeAlphanumerics.hpp"
#include "AgentWire/UTF8.hpp"

namespace AgentSetup {

namespace {

constexpr std::string_view settingsFileName = ".claude.json";

// The server registered now; an unreadable file counts as none.
std::optional<ClaudeConfigFile::Server> registeredServer(const ClaudeConfigFile& config) {
    auto found = config.server(ClaudeCodeSetup::serverName);
    if (auto* server = std::get_if<std::optional<ClaudeConfigFile::Server>>(&found)) return std::move(*server);
    return std::nullopt;
}

bool needsNoQuotes(std::string_view text) {
    // Malformed UTF-8 is always quoted.
    for (size_t index = 0; index < text.size();) {
        char32_t scalar = 0;
        const size_t length = AgentWire::UTF8::sequenceLength(text, index, &scalar);
        if (length == 0) return false;
        index += length;
        switch (scalar) {
            case U'/': case U'.': case U'_': case U'-': case U'+':
                continue;
            default:
                if (!UnicodeAlphanumerics::contains(scalar)) return false;
        }
    }
    return true;
}

}  // namespace

ClaudeCodeSetup::ClaudeCodeSetup(const Environment& environment, const std::string& home, bool findClaude,
                                 CommandRunner runner)
    : config(configURL(environment, home)),
      claude(findClaude ? CommandRunner::find("claude", environment, home) : std::nullopt),
      environment(environment),
      runner(std::move(runner)) {
    this->environment["HOME"] = home;
}

ClaudeCodeSetup::ClaudeCodeSetup(ClaudeConfigFile config, std::optional<std::string> claude, Environment environment,
                                 CommandRunner runner)
    : config(std::move(config)), claude(std::move(claude)), environment(std::move(environment)), runner(std::move(runner)) {}

std::string ClaudeCodeSetup::configURL(const Environment& environment, const std::string& home) {
    const auto configured = environment.find("CLAUDE_CONFIG_DIR");
    const std::string& directory =
        configured != environment.end() && !configured->second.empty() ? configured->second : home;
    return (std::filesystem::path(directory) / settingsFileName).string();
}

bool ClaudeCodeSetup::isInstalled(std::string_view helperPath) {
    return helperPath.starts_with("/") && helperPath.find(".app/Contents/Helpers/") != std::string_view::npos &&
           !helperPath.starts_with("/Volumes/") && helperPath.find("/AppTranslocation/") == std::string_view::npos;
}

std::string ClaudeCodeSetup::shellQuoted(std::string_view text) {
    if (needsNoQuotes(text)) return std::string(text);
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string ClaudeCodeSetup::command(const std::string& helperPath) {
    return "claude mcp add --scope user " + std::string(serverName) + " -- " + shellQuoted(helperPath);
}

ClaudeCodeSetup::Status ClaudeCodeSetup::status(const std::string& helperPath) const {
    const auto registered = registeredServer(config);
    if (!registered) return Status::notConnected();
    if (registered->command == helperPath) return Status::connected();
    return Status::otherHelper(registered->command);
}

std::variant<ClaudeCodeSetup::Outcome, ClaudeSetupError> ClaudeCodeSetup::install(const std::string& helperPath) const {
    if (!isInstalled(helperPath)) return SetupError::notInstalled(helperPath);

    std::optional<std::string> previous;
    if (const auto registered = registeredServer(config)) {
        if (registered->command == helperPath) return Outcome::alreadyConnected();
        previous = registered->command;
    }

    Method method = Method::configFile();
    if (claude) {
        const std::string name(serverName);
        if (previous) {
            // A failed remove is no reason to stop: add reports what really went wrong.
            runner.run(*claude, {"mcp", "remove", "--scope", "user", name}, environment);
        }
        const auto result = runner.run(*claude, {"mcp", "add", "--scope", "user", name, "--", helperPath}, environment);
        if (result.status != 0) return SetupError::claudeFailed(result.message());
        method = Method::claudeCommand(*claude);
    } else if (auto error = config.setServer(serverName, helperPath)) {
        return std::move(*error);
    }

    // `claude` may have written somewhere else than the file we watch; only the file counts.
    const auto written = registeredServer(config);
    if (!written || written->command != helperPath) return SetupError::notApplied();
    if (previous) return Outcome::replaced(std::move(*previous), std::move(method));
    return Outcome::added(std::move(method));
}

}  // namespace AgentSetup
