#include "AgentSetup/JSONMCPConfig.hpp"

namespace AgentSetup::JSONMCPConfig {

using AgentWire::JSON;

namespace {

const JSON::WriteOptions kPretty{.pretty = true, .sortedKeys = true};

// The writer copies text bytes as they are; an entry whose texts aren't UTF-8 would make the
// file unreadable, so such an entry is refused. What the parser read is already valid.
bool isWritable(const JSON& entry) { return JSON::parsed(entry.data()).has_value(); }

}  // namespace

std::variant<JSONTextEdit, Problem> read(const std::optional<std::string>& bytes, const Format& format,
                                         std::string_view server) {
    return JSONTextEdit::read(bytes ? std::string_view(*bytes) : std::string_view(), format.syntax, format.serversKey,
                              server);
}

std::variant<std::optional<JSON>, Problem> entry(const std::optional<std::string>& bytes, const Format& format,
                                                 std::string_view server) {
    auto file = read(bytes, format, server);
    if (auto* problem = std::get_if<Problem>(&file)) return *problem;
    return std::get<JSONTextEdit>(file).member();
}

std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, const Format& format,
                                          std::string_view server, const JSON& entry) {
    auto file = read(bytes, format, server);
    if (auto* problem = std::get_if<Problem>(&file)) return *problem;
    return merged(std::get<JSONTextEdit>(file), format, server, entry);
}

std::variant<std::string, Problem> merged(const JSONTextEdit& file, const Format& format, std::string_view server,
                                          const JSON& entry) {
    if (!isWritable(entry)) return Problem{"the new entry for it isn't valid UTF-8", false};
    if (!file.isBlank()) return file.set(entry);
    std::string out = snippet(format, server, entry);
    out.push_back('\n');
    return out;
}

std::variant<std::string, Problem> removed(const std::string& bytes, const Format& format, std::string_view server) {
    auto file = read(bytes, format, server);
    if (auto* problem = std::get_if<Problem>(&file)) return *problem;
    return removed(std::get<JSONTextEdit>(file), format);
}

std::variant<std::string, Problem> removed(const JSONTextEdit& file, const Format& format) {
    return file.removed(!format.keepsEmptyServers);
}

std::string snippet(const Format& format, std::string_view server, const JSON& entry) {
    if (!isWritable(entry)) return {};
    JSON::Object servers;
    servers.set(std::string(server), entry);
    JSON::Object root;
    root.set(std::string(format.serversKey), JSON(std::move(servers)));
    return JSON(std::move(root)).serialized(kPretty);
}

}  // namespace AgentSetup::JSONMCPConfig
