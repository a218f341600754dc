#include "AgentSetup/ClaudeConfigFile.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "AgentSetup/AgentInstaller.hpp"
#include "AgentWire/POSIX.hpp"

namespace AgentSetup {

using AgentWire::JSON;

namespace {

std::string stampOf(const struct stat& status) {
#if defined(__APPLE__)
    const auto& modified = status.st_mtimespec;
#else
    const auto& modified = status.st_mtim;
#endif
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) +
           ":" + std::to_string(modified.tv_sec) + "." + std::to_string(modified.tv_nsec);
}

std::string currentStamp(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) return stampOf(status);
    // Anything but "nothing there" must not look like the empty stamp of a missing file.
    return errno == ENOENT || errno == ENOTDIR ? std::string() : "unknown:" + std::to_string(errno);
}

ClaudeConfigFile::Files::Contents readWholeFile(const std::string& path) {
    using Contents = ClaudeConfigFile::Files::Contents;
    auto file = AgentWire::POSIX::readFile(path, AgentInstaller::maxConfigBytes);
    if (auto* contents = std::get_if<AgentWire::POSIX::FileContents>(&file))
        return {Contents::Kind::read, std::move(contents->bytes), stampOf(contents->status)};
    // ENOTDIR: a file stands where a folder of the path should be, so no settings file can be
    // there either; the write that follows then reports why.
    const auto failure = std::get<AgentWire::POSIX::ReadFailure>(file);
    bool missing = failure.kind == AgentWire::POSIX::ReadFailure::Kind::open &&
                   (failure.error == ENOENT || failure.error == ENOTDIR);
    return {missing ? Contents::Kind::missing : Contents::Kind::unreadable, {}, {}};
}

bool isBlank(std::string_view bytes) {
    return bytes.find_first_not_of(std::string_view("\t\n\r ", 4)) == std::string_view::npos;
}

}  // namespace

ClaudeConfigFile::Files ClaudeConfigFile::Files::live() {
    return {
        .read = readWholeFile,
        .write = [](const std::string& bytes, const std::string& path) { return AtomicFile::write(bytes, path); },
        .stamp = currentStamp,
    };
}

ClaudeConfigFile::ClaudeConfigFile(std::string url, Files files) : url(std::move(url)), files(std::move(files)) {}

JSON ClaudeConfigFile::entry(const std::string& command) {
    return JSON::object({
        {"type", JSON("stdio")},
        {"command", JSON(command)},
        {"args", JSON(JSON::Array{})},
        {"env", JSON(JSON::Object{})},
    });
}

std::variant<ClaudeConfigFile::Document, ClaudeSetupError> ClaudeConfigFile::read() const {
    auto loaded = load();
    if (auto* error = std::get_if<ClaudeSetupError>(&loaded)) return std::move(*error);
    return std::move(std::get<Loaded>(loaded).document);
}

std::variant<ClaudeConfigFile::Loaded, ClaudeSetupError> ClaudeConfigFile::load() const {
    Files::Contents contents = files.read(url);
    switch (contents.kind) {
        case Files::Contents::Kind::missing:
            return Loaded{};
        case Files::Contents::Kind::unreadable:
            // Something is there that we could not see whole: never treat it as empty, or the
            // next write would replace the user's settings with a document lacking them.
            return ClaudeSetupError::unreadableConfig(url);
        case Files::Contents::Kind::read:
            break;
    }
    if (isBlank(contents.bytes)) return Loaded{{}, contents.bytes.size(), std::move(contents.stamp)};
    auto parsed = JSON::parsed(contents.bytes, {.exactNumbers = true});
    if (!parsed || !parsed->object()) return ClaudeSetupError::unreadableConfig(url);
    return Loaded{std::move(*parsed), contents.bytes.size(), std::move(contents.stamp)};
}

std::variant<std::optional<ClaudeConfigFile::Server>, ClaudeSetupError> ClaudeConfigFile::server(
    std::string_view name) const {
    auto document = read();
    if (auto* error = std::get_if<ClaudeSetupError>(&document)) return std::move(*error);
    const auto& root = std::get<Document>(document);
    if (!root) return std::optional<Server>{};
    const JSON* servers = (*root)["mcpServers"];
    const JSON* found = servers ? (*servers)[name] : nullptr;
    if (!found || !found->object()) return std::optional<Server>{};

    Server server;
    if (const JSON* command = (*found)["command"]; command && command->string()) server.command = *command->string();
    if (const JSON* args = (*found)["args"]; args && args->array()) {
        for (const JSON& argument : *args->array()) {
            if (!argument.string()) {
                server.arguments.clear();
                break;
            }
            server.arguments.push_back(*argument.string());
        }
    }
    return std::optional<Server>{std::move(server)};
}

std::optional<ClaudeSetupError> ClaudeConfigFile::setServer(std::string_view name, const std::string& command) const {
    auto loaded = load();
    if (auto* error = std::get_if<ClaudeSetupError>(&loaded)) return std::move(*error);
    auto& [document, size, stamp] = std::get<Loaded>(loaded);
    JSON root = std::move(document).value_or(JSON(JSON::Object{}));
    JSON::Object& members = *root.object();

    // set() replaces in place, so the entry and "mcpServers" keep their places in the file.
    if (JSON* servers = members.find("mcpServers"); servers && servers->object()) {
        servers->object()->set(std::string(name), entry(command));
    } else {
        JSON::Object fresh;
        fresh.set(std::string(name), entry(command));
        members.set("mcpServers", JSON(std::move(fresh)));
    }

    std::string text;
    // Room for the file as it was plus the writer's " : " for each member, so the text never
    // grows by copying (pages of the reserve not yet written take no memory).
    text.reserve(size + size / 8 + 4096);
    root.write(text, {.pretty = true, .sortedKeys = false});
    // Claude Code rewrites this file while it runs; replacing a version we did not read would
    // silently drop its change. (A change in the last instant before the rename can't be seen.)
    if (files.stamp && files.stamp(url) != stamp) return ClaudeSetupError::notApplied();
    if (auto failure = files.write(text, url)) return ClaudeSetupError::writeFailed(failure->reason);
    return std::nullopt;
}

}  // namespace AgentSetup
