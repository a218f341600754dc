#include "AgentMCP/MCPEra.hpp"

#include "AgentMCP/MCPServer.hpp"
#include "AgentWire/AgentTools.hpp"

namespace AgentMCP {

using AgentWire::JSON;

namespace {

const JSON* metaOf(const JSON& params) {
    const JSON* meta = params["_meta"];
    return meta && meta->object() ? meta : nullptr;
}

std::string textOr(const JSON* value) {
    return value && value->string() ? *value->string() : std::string();
}

}  // namespace

bool MCPEra::isModern(const JSON& message) {
    const JSON* method = message["method"];
    if (!method || !method->string() || *method->string() == "initialize") return false;
    const JSON* params = message["params"];
    const JSON* meta = params ? metaOf(*params) : nullptr;
    return meta && (*meta)[versionKey];
}

std::variant<MCPEra::Client, JSON> MCPEra::check(const JSON& id, std::string_view method, const JSON& params) {
    const JSON* meta = metaOf(params);
    const JSON* version = meta ? (*meta)[versionKey] : nullptr;
    if (!version || !version->string()) {
        return MCPServer::error(id, -32602, "Invalid params: _meta needs a string " + std::string(versionKey));
    }
    const JSON* capabilities = (*meta)[capabilitiesKey];
    if (!capabilities || !capabilities->object()) {
        return MCPServer::error(id, -32602, "Invalid params: _meta needs an object " + std::string(capabilitiesKey));
    }
    if (*version->string() != modernVersion) {
        JSON::Array supported{JSON(modernVersion)};
        for (std::string_view legacy : MCPServer::protocolVersions) supported.emplace_back(legacy);
        JSON reply = MCPServer::error(id, -32022, "Unsupported protocol version: " + *version->string());
        reply.object()->find("error")->object()->set(
            "data", JSON::object({{"supported", JSON(std::move(supported))}, {"requested", *version}}));
        return reply;
    }
    if (method != "server/discover" && method != "tools/list" && method != "tools/call") {
        return MCPServer::error(id, -32601, "Method not found: " + std::string(method));
    }
    const JSON* client = (*meta)[clientInfoKey];
    if (!client) return Client{};
    return Client{textOr((*client)["name"]), textOr((*client)["version"])};
}

JSON MCPEra::discover(std::string_view serverVersion) {
    JSON::Object result{
        {"supportedVersions", JSON::array({JSON(modernVersion)})},
        {"capabilities", JSON::object({{"tools", JSON(JSON::Object{})}})},
        {"instructions", JSON(AgentWire::AgentTools::instructions)},
    };
    decorate(result, serverVersion, true);
    return JSON(std::move(result));
}

void MCPEra::decorate(JSON::Object& result, std::string_view serverVersion, bool cacheable) {
    result.appendUnchecked("resultType", "complete");
    // Nothing the helper lists may be shared across owners; a new helper build can change it.
    if (cacheable) {
        result.appendUnchecked("ttlMs", 0);
        result.appendUnchecked("cacheScope", "private");
    }
    result.appendUnchecked("_meta", JSON::object({{std::string(serverInfoKey), serverInfo(serverVersion)}}));
}

JSON MCPEra::serverInfo(std::string_view serverVersion) {
    return JSON::object({{"name", JSON(MCPServer::serverName)}, {"title", "Bosken"}, {"version", JSON(serverVersion)}});
}

}  // namespace AgentMCP
