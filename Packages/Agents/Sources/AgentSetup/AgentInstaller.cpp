#include "AgentSetup/AgentInstaller.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "AgentSetup/AtomicFile.hpp"

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

AgentInstaller::FileRead AgentInstaller::read(const std::string& path) {
    // Non-blocking, so a FIFO planted at the path can't hang the run; only a regular file counts.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {std::nullopt, errno != ENOENT && errno != ENOTDIR && exists(path)};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {std::nullopt, true};
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return {std::nullopt, true};
        }
    }
    ::close(fd);
    return {std::move(bytes), false};
}

std::string AgentInstaller::resolved(const std::string& path) {
    return AtomicFile::System::live().resolve(path).value_or(path);
}

}  // namespace AgentSetup
