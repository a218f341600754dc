#include "AgentMCP/MCPServer.hpp"

#include <algorithm>

#include "AgentMCP/MCPEra.hpp"
#include "AgentWire/AgentTools.hpp"

namespace AgentMCP {

using AgentWire::JSON;

namespace {

// Built member by member: a literal list would copy the result, which may be a 40 MiB
// screenshot.
JSON result(const JSON& id, JSON value) {
    JSON::Object reply;
    reply.appendUnchecked("jsonrpc", "2.0");
    reply.appendUnchecked("id", id);
    reply.appendUnchecked("result", std::move(value));
    return JSON(std::move(reply));
}

std::string textOr(const JSON* value, std::string fallback = {}) {
    if (value && value->string()) return *value->string();
    return fallback;
}

bool isToolsList(const JSON& message) {
    const JSON* method = message["method"];
    return method && method->string() && *method->string() == "tools/list";
}

}  // namespace

MCPServer::MCPServer(std::shared_ptr<AgentToolRunner> runner, std::string version)
    : runner_(std::move(runner)), version_(std::move(version)) {}

void MCPServer::resume(const MCPSession& session) {
    session_ = session;
    runner_->clientDidIntroduce(session.clientName, session.clientVersion);
}

JSON MCPServer::error(const JSON& id, int code, std::string_view message) {
    return JSON::object({
        {"jsonrpc", "2.0"},
        {"id", id},
        {"error", JSON::object({{"code", code}, {"message", JSON(message)}})},
    });
}

std::optional<std::string> MCPServer::handle(std::string_view line) {
    // Ids keep their written form (a large integer is no double), and a lone surrogate escape,
    // which the grammar allows, costs one character rather than the request.
    auto parsed = JSON::parse(line, {.exactNumbers = true, .loneSurrogatesAsReplacement = true});
    auto* message = std::get_if<JSON>(&parsed);
    if (!message) return error(JSON(), -32700, "Parse error").data();

    // "tools/list" is asked often and its answer never changes: its serialized catalogue is
    // built once and the reply assembled around it, in the bytes the serializer would write.
    if (const JSON* id = (*message)["id"]; id && isToolsList(*message) && !MCPEra::isModern(*message)) {
        static const std::string tools =
            JSON::object({{"tools", JSON(JSON::Array(AgentWire::AgentTools::definitions().begin(),
                                                     AgentWire::AgentTools::definitions().end()))}})
                .data();
        return "{\"id\":" + id->data() + ",\"jsonrpc\":\"2.0\",\"result\":" + tools + "}";
    }

    if (const JSON::Array* batch = message->array()) {
        JSON::Array replies;
        for (const JSON& element : *batch) {
            if (auto reply = handleMessage(element)) replies.push_back(std::move(*reply));
        }
        if (replies.empty()) return std::nullopt;
        return JSON(std::move(replies)).data();
    }
    if (auto reply = handleMessage(*message)) return reply->data();
    return std::nullopt;
}

std::optional<JSON> MCPServer::handleMessage(const JSON& message) {
    const JSON* methodValue = message["method"];
    const std::string* method = methodValue ? methodValue->string() : nullptr;
    const JSON* id = message["id"];
    static const JSON emptyParams = JSON(JSON::Object{});
    const JSON* params = message["params"];
    if (!params) params = &emptyParams;

    if (!method) {
        if (id) return error(*id, -32600, "Invalid Request");
        return std::nullopt;
    }
    if (!id) {
        if (*method == "notifications/initialized" && session_) session_->initialized = true;
        return std::nullopt;
    }
    // The 2026-07-28 revision, per message: its own checks and methods, the same tools.
    const bool modern = MCPEra::isModern(message);
    std::optional<MCPEra::Client> modernClient;
    if (modern) {
        auto checked = MCPEra::check(*id, *method, *params);
        if (auto* refusal = std::get_if<JSON>(&checked)) return std::move(*refusal);
        if (*method == "server/discover") return result(*id, MCPEra::discover(version_));
        modernClient = std::get<MCPEra::Client>(std::move(checked));
    }
    if (*method == "initialize") return result(*id, initialize(*params));
    if (*method == "ping") return result(*id, JSON(JSON::Object{}));
    if (*method == "tools/list") {
        const auto& definitions = AgentWire::AgentTools::definitions();
        JSON::Object value{{"tools", JSON(JSON::Array(definitions.begin(), definitions.end()))}};
        if (modern) MCPEra::decorate(value, version_, true);
        return result(*id, JSON(std::move(value)));
    }
    if (*method == "tools/call") {
        const JSON* name = (*params)["name"];
        if (!name || !name->string()) return error(*id, -32602, "tools/call needs a tool name");
        const JSON* arguments = (*params)["arguments"];
        // A modern client names itself on each request; a legacy session, when there is one, decides.
        if (modernClient && !session_) runner_->clientDidIntroduce(modernClient->name, modernClient->version);
        ToolOutcome outcome = runner_->run(*name->string(), arguments ? *arguments : emptyParams);
        JSON::Object value;
        value.appendUnchecked("content", JSON(std::move(outcome.content)));
        value.appendUnchecked("isError", outcome.isError);
        if (modern) MCPEra::decorate(value, version_, false);
        return result(*id, JSON(std::move(value)));
    }
    return error(*id, -32601, "Method not found: " + *method);
}

JSON MCPServer::initialize(const JSON& params) {
    std::string requested = textOr(params["protocolVersion"]);
    std::string agreed(protocolVersions.front());
    if (std::find(protocolVersions.begin(), protocolVersions.end(), requested) != protocolVersions.end()) {
        agreed = requested;
    }
    const JSON* clientInfo = params["clientInfo"];
    std::string clientName = clientInfo ? textOr((*clientInfo)["name"]) : std::string();
    std::string clientVersion = clientInfo ? textOr((*clientInfo)["version"]) : std::string();

    session_ = MCPSession{agreed, clientName, clientVersion, false};
    runner_->clientDidIntroduce(clientName, clientVersion);

    return JSON::object({
        {"protocolVersion", agreed},
        {"capabilities", JSON::object({{"tools", JSON::object({{"listChanged", false}})}})},
        {"serverInfo", MCPEra::serverInfo(version_)},
        {"instructions", JSON(AgentWire::AgentTools::instructions)},
    });
}

}  // namespace AgentMCP
