#include "AgentSetup/ClaudeConfigFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

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
    // Non-blocking so that a FIFO planted at the path cannot stall the run; only regular files
    // are read.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    // ENOTDIR: a file stands where a folder of the path should be, so no settings file can be
    // there either; the write that follows then reports why.
    if (fd < 0) {
        return {errno == ENOENT || errno == ENOTDIR ? Contents::Kind::missing : Contents::Kind::unreadable, {}, {}};
    }

    Contents contents{Contents::Kind::unreadable, {}, {}};
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        // A file too large for memory is unreadable, not a crash.
        try {
            std::string bytes;
            // The size is a hint only; the file may grow or shrink while being read.
            bytes.resize(static_cast<size_t>(status.st_size) + 1);
            size_t used = 0;
            bool failed = false;
            for (;;) {
                if (used == bytes.size()) bytes.resize(bytes.size() * 2);
                const ssize_t count = ::read(fd, bytes.data() + used, bytes.size() - used);
                if (count > 0) {
                    used += static_cast<size_t>(count);
                } else if (count == 0) {
                    break;
                } else if (errno != EINTR) {
                    failed = true;
                    break;
                }
            }
            if (!failed) {
                // No shrink_to_fit: copying a large file once more would double its memory.
                bytes.resize(used);
                contents = {Contents::Kind::read, std::move(bytes), stampOf(status)};
            }
        } catch (const std::length_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    ::close(fd);
    return contents;
}

// Writes `value` exactly as JSON::write does (pretty, the document's own order) but releases
// every member and element once it is written, so the tree shrinks while the text grows and
// the two are never both whole in memory.
void writeReleasing(JSON& value, std::string& out, size_t indent) {
    constexpr JSON::WriteOptions options{.pretty = true, .sortedKeys = false};
    const auto newline = [&out](size_t depth) {
        out.push_back('\n');
        out.append(depth * 2, ' ');
    };
    if (JSON::Object* object = value.object()) {
        out.push_back('{');
        for (auto member = object->begin(); member != object->end(); ++member) {
            if (member != object->begin()) out.push_back(',');
            newline(indent + 1);
            JSON(std::string_view(member->key)).write(out, options);
            out.append(" : ");
            writeReleasing(member->value, out, indent + 1);
        }
        if (!object->empty()) newline(indent);
        out.push_back('}');
    } else if (JSON::Array* array = value.array()) {
        out.push_back('[');
        for (auto element = array->begin(); element != array->end(); ++element) {
            if (element != array->begin()) out.push_back(',');
            newline(indent + 1);
            writeReleasing(*element, out, indent + 1);
        }
        if (!array->empty()) newline(indent);
        out.push_back(']');
    } else {
        value.write(out, options);
    }
    value = JSON();
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
    writeReleasing(root, text, 0);
    // Claude Code rewrites this file while it runs; replacing a version we did not read would
    // silently drop its change. (A change in the last instant before the rename can't be seen.)
    if (files.stamp && files.stamp(url) != stamp) return ClaudeSetupError::notApplied();
    if (auto failure = files.write(text, url)) return ClaudeSetupError::writeFailed(failure->reason);
    return std::nullopt;
}

}  // namespace AgentSetup
