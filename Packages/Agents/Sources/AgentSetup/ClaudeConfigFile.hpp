#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "AgentSetup/AtomicFile.hpp"
#include "AgentSetup/ClaudeSetupError.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentSetup {

// Claude Code's user settings file: reads what is registered under a server name and
// registers a server by rewriting the file atomically. Every other member keeps its value,
// numbers their written form, and objects their own member order.
class ClaudeConfigFile {
public:
    // What the file registers under one server name.
    struct Server {
        // The entry's "command", or empty when missing or not text.
        std::string command;
        // The entry's "args", or empty when missing or not a list of text.
        std::vector<std::string> arguments;

        friend bool operator==(const Server&, const Server&) = default;
    };

    // The file operations reading and writing depend on.
    struct Files {
        struct Contents {
            // missing: nothing can be at the path (ENOENT, ENOTDIR); unreadable: something there that
            // could not be read whole as a regular file.
            enum class Kind { missing, read, unreadable };
            Kind kind = Kind::missing;
            std::string bytes;
            // The version of the file that was read, as `stamp` gives it.
            std::string stamp;
        };
        // The whole file behind `path`, symbolic links followed.
        std::function<Contents(const std::string& path)> read;
        // Replaces the file behind `path` atomically.
        std::function<std::optional<AtomicFile::Failure>(const std::string& bytes, const std::string& path)> write;
        // Which version of the file is behind `path` now (device, inode, size, modification
        // time); empty when there is none. Unset: changes are not looked for.
        std::function<std::string(const std::string& path)> stamp;

        // The real file system, writing through AtomicFile.
        static Files live();
    };

    using Document = std::optional<AgentWire::JSON>;

    // The settings file's location as configured (links not resolved).
    std::string url;
    Files files;

    explicit ClaudeConfigFile(std::string url, Files files = Files::live());

    // A Claude Code stdio server entry: {"type": "stdio", "command": command, "args": [], "env": {}}.
    static AgentWire::JSON entry(const std::string& command);

    // The document, an object; none when the file is missing or blank. unreadableConfig (with
    // `url`) when it exists but cannot be read, is not strict JSON, or is not an object.
    std::variant<Document, ClaudeSetupError> read() const;

    // The entry registered under `name`; none when there is no document, "mcpServers" is not
    // an object, or the entry is not an object. Fails as `read`.
    std::variant<std::optional<Server>, ClaudeSetupError> server(std::string_view name) const;

    // Sets "mcpServers"[name] to `entry(command)`, replacing the old entry whole (and a
    // "mcpServers" that is not an object), then replaces the file with the document
    // pretty-printed in its own key order, without a final newline. Fails as `read` (nothing
    // written), with writeFailed (the file untouched), or with notApplied when the file changed
    // while the new one was being made (left as the other writer made it).
    [[nodiscard]] std::optional<ClaudeSetupError> setServer(std::string_view name, const std::string& command) const;

private:
    struct Loaded {
        Document document;
        size_t size = 0;
        std::string stamp;
    };
    // As `read`, with the file's size and version.
    std::variant<Loaded, ClaudeSetupError> load() const;
};

}  // namespace AgentSetup
