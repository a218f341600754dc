#include "AgentMCP/MCPResume.hpp"

#include <charconv>
#include <utility>

#include "AgentMCP/Base64.hpp"
#include "AgentMCP/HelperBinary.hpp"
#include "AgentWire/JSON.hpp"

namespace AgentMCP {

using AgentWire::JSON;

namespace {

constexpr int64_t formatVersion = 1;

std::optional<MCPSession> sessionFrom(const JSON* value) {
    if (value == nullptr) return std::nullopt;
    const JSON* protocolVersion = (*value)[("protocolVersion")];
    if (protocolVersion == nullptr || protocolVersion->string() == nullptr) return std::nullopt;
    auto text = [&](std::string_view key) {
        const JSON* member = (*value)[key];
        const std::string* s = member ? member->string() : nullptr;
        return s ? *s : std::string();
    };
    const JSON* initialized = (*value)["initialized"];
    return MCPSession{*protocolVersion->string(), text("clientName"), text("clientVersion"),
                      initialized ? initialized->boolValue().value_or(false) : false};
}

}  // namespace

MCPResume::MCPResume(std::optional<MCPSession> session, std::string input, std::string executable,
                     std::vector<double> relaunches)
    : session(std::move(session)),
      input(std::move(input)),
      executable(std::move(executable)),
      relaunches(std::move(relaunches)) {
    if (this->relaunches.size() > keptRelaunches)
        this->relaunches.erase(this->relaunches.begin(),
                               this->relaunches.end() - static_cast<std::ptrdiff_t>(keptRelaunches));
}

std::string MCPResume::encoded() const {
    JSON::Array times;
    times.reserve(relaunches.size());
    for (double t : relaunches) times.emplace_back(t);
    JSON::Object object{
        {"v", JSON(formatVersion)},
        {"input", JSON(Base64::encoded(input))},
        {"executable", JSON(executable)},
        {"relaunches", JSON(std::move(times))},
    };
    if (session) {
        object.set("session", JSON::object({{"protocolVersion", session->protocolVersion},
                                            {"clientName", session->clientName},
                                            {"clientVersion", session->clientVersion},
                                            {"initialized", session->initialized}}));
    }
    return JSON(std::move(object)).data();
}

std::optional<MCPResume> MCPResume::fromEncoded(std::string_view text) {
    auto parsed = JSON::parsed(text);
    if (!parsed) return std::nullopt;
    const JSON& record = *parsed;

    const JSON* version = record["v"];
    if (version == nullptr || version->intValue() != formatVersion) return std::nullopt;

    const JSON* executable = record["executable"];
    const std::string* path = executable ? executable->string() : nullptr;
    if (path == nullptr || path->empty() || path->front() != '/') return std::nullopt;

    const JSON* input = record["input"];
    const std::string* inputText = input ? input->string() : nullptr;
    if (inputText == nullptr) return std::nullopt;
    auto bytes = Base64::decoded(*inputText);
    if (!bytes) return std::nullopt;

    std::vector<double> relaunches;
    if (const JSON* times = record["relaunches"]; times && times->array()) {
        for (const JSON& t : *times->array())
            if (auto d = t.doubleValue()) relaunches.push_back(*d);
    }
    return MCPResume(sessionFrom(record["session"]), std::move(*bytes), *path, std::move(relaunches));
}

std::optional<MCPResume> MCPResume::take(const std::map<std::string, std::string>& environment) {
    auto found = environment.find(std::string(environmentKey));
    if (found == environment.end()) return std::nullopt;
    std::string_view value = found->second;
    if (!value.starts_with(descriptorPrefix)) return fromEncoded(value);
    value.remove_prefix(descriptorPrefix.size());
    int fd = -1;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), fd);
    // Standard input, output and error are never the record, whatever the variable says.
    if (error != std::errc() || end != value.data() + value.size() || fd <= 2) return std::nullopt;
    auto text = HelperBinary::takeHandOverFile(fd, maxEncodedBytes);
    if (!text) return std::nullopt;
    return fromEncoded(*text);
}

}  // namespace AgentMCP
