#include "AgentSetup/JSONMCPConfig.hpp"

#include <algorithm>

namespace AgentSetup::JSONMCPConfig {

using AgentWire::JSON;

namespace {

const JSON::WriteOptions kPretty{.pretty = true, .sortedKeys = true};

bool isBlank(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; });
}

// How deeply arrays and objects nest in `bytes`, strings skipped: tells a file nested beyond
// what the parser takes from one that isn't JSON.
size_t nesting(std::string_view bytes) {
    size_t depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// The file's root object. Numbers keep their written form, so a merge never alters one. With
// `onlyMember`, the rest of the file is checked but not built.
std::variant<JSON::Object, Problem> object(const std::optional<std::string>& bytes, std::string_view onlyMember = {}) {
    if (!bytes || isBlank(*bytes)) return JSON::Object{};
    auto parsed = JSON::parse(*bytes, {.exactNumbers = true, .onlyMember = onlyMember});
    auto* root = std::get_if<JSON>(&parsed);
    if (const size_t limit = JSON::ParseOptions{}.maxDepth; !root && nesting(*bytes) > limit) {
        return Problem{"it's nested more than " + std::to_string(limit) + " levels deep, deeper than Bosken reads",
                       false};
    }
    // A top-level scalar is not accepted as a configuration document at all.
    if (!root || (root->kind() != JSON::Kind::object && root->kind() != JSON::Kind::array))
        return Problem{"it isn't valid JSON (comments and trailing commas aren't accepted)", false};
    JSON::Object* members = root->object();
    if (!members) return Problem{"it isn't a JSON object", false};
    return std::move(*members);
}

// The writer copies text bytes as they are; an entry whose texts aren't UTF-8 would make the
// file unreadable, so such an entry is refused. What the parser read is already valid.
bool isWritable(const JSON& entry) { return JSON::parsed(entry.data()).has_value(); }

}  // namespace

std::variant<std::optional<std::string>, Problem> command(const std::optional<std::string>& bytes,
                                                          std::string_view server) {
    auto read = object(bytes, "mcpServers");
    if (auto* problem = std::get_if<Problem>(&read)) return *problem;
    const auto& root = std::get<JSON::Object>(read);
    const JSON* servers = root.find("mcpServers");
    const JSON* entry = servers ? (*servers)[server] : nullptr;
    const JSON* text = entry ? (*entry)["command"] : nullptr;
    if (!text || !text->string()) return std::optional<std::string>{};
    return std::optional<std::string>{*text->string()};
}

std::variant<std::string, Problem> merged(const std::optional<std::string>& bytes, std::string_view server,
                                          const JSON& entry) {
    auto read = object(bytes);
    if (auto* problem = std::get_if<Problem>(&read)) return *problem;
    auto& root = std::get<JSON::Object>(read);
    JSON* servers = root.find("mcpServers");
    if (!servers) {
        root.set("mcpServers", JSON::Object{});
        servers = root.find("mcpServers");
    }
    JSON::Object* members = servers->object();
    if (!members) return Problem{"\"mcpServers\" in it isn't an object", true};
    if (!isWritable(entry)) return Problem{"the new entry for it isn't valid UTF-8", false};
    members->set(std::string(server), entry);

    // Settings files run to megabytes; one allocation of about the old size saves the regrowth.
    std::string out;
    out.reserve(bytes ? bytes->size() + bytes->size() / 4 + 4096 : 4096);
    JSON(std::move(root)).write(out, kPretty);
    out.push_back('\n');
    return out;
}

std::string snippet(std::string_view server, const JSON& entry) {
    if (!isWritable(entry)) return {};
    JSON::Object servers;
    servers.set(std::string(server), entry);
    return JSON::object({{"mcpServers", JSON(std::move(servers))}}).serialized(kPretty);
}

}  // namespace AgentSetup::JSONMCPConfig
