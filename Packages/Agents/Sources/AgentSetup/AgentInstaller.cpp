#include "AgentSetup/AgentInstaller.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "AgentSetup/AtomicFile.hpp"
#include "AgentWire/POSIX.hpp"

namespace AgentSetup {

namespace {

// Follows symbolic links, like the platform's existence test: a dangling link is nothing.
bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string joined(const std::string& directory, std::string_view components) {
    return (std::filesystem::path(directory) / components).string();
}

std::string nonEmptyVariable(const AgentInstaller::Environment& environment, const std::string& name) {
    auto found = environment.find(name);
    return found == environment.end() ? std::string() : found->second;
}

}  // namespace

AgentInstaller::AgentInstaller(Environment environment, std::string home,
                               std::optional<std::vector<std::string>> applicationFolders, bool findCommands,
                               CommandRunner runner, Clock now)
    : environment(std::move(environment)),
      home(std::move(home)),
      findCommands(findCommands),
      runner(std::move(runner)),
      now(std::move(now)) {
    std::error_code error;
    workingDirectory = std::filesystem::current_path(error).string();
    this->applicationFolders = applicationFolders ? std::move(*applicationFolders)
                                                  : std::vector<std::string>{"/Applications", joined(this->home, "Applications")};
}

std::vector<AgentApp> AgentInstaller::apps() const {
    std::vector<AgentApp> all;
    for (auto kind : AgentApp::allCases) all.push_back(app(kind));
    return all;
}

AgentApp AgentInstaller::app(AgentApp::Kind kind) const {
    auto hasBundle = [&](std::string_view bundle) {
        for (const auto& folder : applicationFolders)
            if (exists(joined(folder, bundle))) return true;
        return false;
    };
    auto hasCommand = [&](const std::string& name) {
        return findCommands && CommandRunner::find(name, environment, home).has_value();
    };

    // A relative folder from the environment is taken from the working directory.
    auto absolute = [&](const std::string& path) {
        return path.empty() || path.front() == '/' ? path : joined(workingDirectory, path);
    };
    auto folderFrom = [&](const std::string& variable, std::string_view fallback) {
        auto configured = nonEmptyVariable(environment, variable);
        return configured.empty() ? joined(home, fallback) : absolute(configured);
    };

    switch (kind) {
        case AgentApp::Kind::claudeCode: {
            auto config = absolute(ClaudeCodeSetup::configURL(environment, home));
            bool detected = exists(config) || exists(joined(home, ".claude")) || hasCommand("claude");
            return {kind, config, detected};
        }
        case AgentApp::Kind::claudeDesktop: {
            auto directory = joined(home, "Library/Application Support/Claude");
            return {kind, joined(directory, "claude_desktop_config.json"), exists(directory) || hasBundle("Claude.app")};
        }
        case AgentApp::Kind::codex: {
            auto directory = folderFrom("CODEX_HOME", ".codex");
            bool detected = exists(directory) || hasCommand("codex") || hasBundle("Codex.app");
            return {kind, joined(directory, "config.toml"), detected};
        }
        case AgentApp::Kind::cursor: {
            auto directory = joined(home, ".cursor");
            return {kind, joined(directory, "mcp.json"), exists(directory) || hasBundle("Cursor.app")};
        }
        case AgentApp::Kind::gemini: {
            // Not the folder alone: Antigravity keeps its configuration in it too.
            auto config = joined(home, ".gemini/settings.json");
            return {kind, config, exists(config) || hasCommand("gemini")};
        }
        case AgentApp::Kind::windsurf: {
            auto directory = joined(home, ".codeium/windsurf");
            return {kind, joined(directory, "mcp_config.json"), exists(directory) || hasBundle("Windsurf.app")};
        }
        case AgentApp::Kind::copilot: {
            auto directory = folderFrom("COPILOT_HOME", ".copilot");
            return {kind, joined(directory, "mcp-config.json"), exists(directory) || hasCommand("copilot")};
        }
        case AgentApp::Kind::vscode: {
            auto directory = joined(home, "Library/Application Support/Code/User");
            bool detected = exists(directory) || hasBundle("Visual Studio Code.app") || hasCommand("code");
            return {kind, joined(directory, "mcp.json"), detected};
        }
        case AgentApp::Kind::antigravity: {
            auto directory = joined(home, ".gemini/config");
            bool detected = exists(directory) || hasBundle("Antigravity.app") || hasCommand("agy");
            return {kind, joined(directory, "mcp_config.json"), detected};
        }
        case AgentApp::Kind::opencode: {
            auto directory = joined(folderFrom("XDG_CONFIG_HOME", ".config"), "opencode");
            // OpenCode reads opencode.json when there is one.
            auto plain = joined(directory, "opencode.json");
            auto config = exists(plain) ? plain : joined(directory, "opencode.jsonc");
            return {kind, config, exists(directory) || hasCommand("opencode")};
        }
        case AgentApp::Kind::zed: {
            auto directory = joined(home, ".config/zed");
            return {kind, joined(directory, "settings.json"), exists(directory) || hasBundle("Zed.app") || hasCommand("zed")};
        }
        case AgentApp::Kind::kiro: {
            auto directory = joined(home, ".kiro");
            bool detected = exists(directory) || hasBundle("Kiro.app") || hasCommand("kiro-cli");
            return {kind, joined(directory, "settings/mcp.json"), detected};
        }
    }
    return {kind, {}, false};
}

namespace {

// Running out of memory on one app's file fails that app only; the others are still done.
template <class Value, class Work>
std::variant<Value, AgentInstallError> failingAlone(const std::string& path, Work work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return AgentInstallError::outOfMemory(path);
}

}  // namespace

std::variant<AgentPlan, AgentInstallError> AgentInstaller::plan(const AgentApp& app,
                                                                 const std::string& helperPath) const {
    return failingAlone<AgentPlan>(resolved(app.configURL), [&] { return makePlan(app, helperPath); });
}

std::variant<AgentPlan, AgentInstallError> AgentInstaller::removalPlan(const AgentApp& app) const {
    return failingAlone<AgentPlan>(resolved(app.configURL), [&] { return makeRemovalPlan(app); });
}

std::variant<AgentInstallResult, AgentInstallError> AgentInstaller::install(const AgentPlan& plan) const {
    return failingAlone<AgentInstallResult>(plan.configPath, [&] { return apply(plan); });
}

AgentInstaller::FileRead AgentInstaller::read(const std::string& path) {
    using Kind = AgentWire::POSIX::ReadFailure::Kind;
    auto file = AgentWire::POSIX::readFile(path, maxConfigBytes);
    if (auto* contents = std::get_if<AgentWire::POSIX::FileContents>(&file)) return {std::move(contents->bytes), false};
    const auto failure = std::get<AgentWire::POSIX::ReadFailure>(file);
    switch (failure.kind) {
        case Kind::open:
            // A loop of links is there but can't be read, and writing would fail on it with these words.
            if (failure.error == ELOOP) return {std::nullopt, true, std::strerror(ELOOP)};
            return {std::nullopt, failure.error != ENOENT && failure.error != ENOTDIR && exists(path)};
        case Kind::tooLarge:
            return {std::nullopt, true, "it's over 256 MiB, too large for a settings file"};
        case Kind::read:
            // Reported like every other lack of memory while working on an app.
            if (failure.error == ENOMEM) throw std::bad_alloc();
            break;
        case Kind::notRegular:
            break;
    }
    return {std::nullopt, true};
}

std::string AgentInstaller::resolved(const std::string& path) {
    return AtomicFile::System::live().resolve(path).value_or(path);
}

}  // namespace AgentSetup
