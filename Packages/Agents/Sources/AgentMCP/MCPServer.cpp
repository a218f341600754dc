#include "AgentMCP/MCPServer.hpp"

#include <algorithm>
#include <variant>

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

}  // namespace

bool MCPServer::isToolCall(const JSON& message) {
    const JSON* method = message["method"];
    if (!message["id"] || !method || !method->string() || *method->string() != "tools/call") return false;
    const JSON* params = message["params"];
    const JSON* name = params ? (*params)["name"] : nullptr;
    if (!name || !name->string()) return false;
    // A modern request that its era refuses is answered at once, like any error.
    return !MCPEra::isModern(message) ||
           std::holds_alternative<MCPEra::Client>(MCPEra::check(*message["id"], "tools/call", *params));
}

MCPServer::MCPServer(std::string version, Introduce introduce)
    : version_(std::move(version)), introduce_(std::move(introduce)) {}

void MCPServer::resume(const MCPSession& session) {
    session_ = session;
    if (introduce_) introduce_(session.clientName, session.clientVersion);
}

JSON MCPServer::error(const JSON& id, int code, std::string_view message) {
    return JSON::object({
        {"jsonrpc", "2.0"},
        {"id", id},
        {"error", JSON::object({{"code", code}, {"message", JSON(message)}})},
    });
}

std::string MCPServer::parseError() {
    static const std::string text = error(JSON(), -32700, "Parse error").data();
    return text;
}

MCPServer::Handled MCPServer::handle(std::string_view line) {
    Handled handled;
    auto parsed = JSON::parse(line, parseOptions);
    auto* message = std::get_if<JSON>(&parsed);
    if (!message) {
        handled.reply = parseError();
        return handled;
    }

    if (JSON::Array* batch = message->array()) {
        if (std::any_of(batch->begin(), batch->end(), &MCPServer::isToolCall)) {
            handled.batch = std::move(*batch);
            return handled;
        }
        JSON::Array replies;
        for (const JSON& element : *batch) {
            Routed routed = route(element);
            if (routed.reply) replies.push_back(std::move(*routed.reply));
            if (routed.cancelled) handled.cancelled.push_back(std::move(*routed.cancelled));
        }
        if (!replies.empty()) handled.reply = JSON(std::move(replies)).data();
        return handled;
    }
    Routed routed = route(*message);
    if (routed.reply) handled.reply = routed.reply->data();
    handled.call = std::move(routed.call);
    if (routed.cancelled) handled.cancelled.push_back(std::move(*routed.cancelled));
    return handled;
}

MCPServer::Routed MCPServer::route(const JSON& message) {
    Routed routed;
    const JSON* methodValue = message["method"];
    const std::string* method = methodValue ? methodValue->string() : nullptr;
    const JSON* id = message["id"];
    static const JSON emptyParams = JSON(JSON::Object{});
    const JSON* params = message["params"];
    if (!params) params = &emptyParams;

    if (!method) {
        if (id) routed.reply = error(*id, -32600, "Invalid Request");
        return routed;
    }
    if (!id) {
        if (*method == "notifications/initialized" && session_) session_->initialized = true;
        if (*method == "notifications/cancelled") {
            if (const JSON* requestId = (*params)["requestId"]) routed.cancelled = *requestId;
        }
        return routed;
    }
    // The 2026-07-28 revision, per message: its own checks and methods, the same tools.
    const bool modern = MCPEra::isModern(message);
    std::optional<MCPEra::Client> modernClient;
    if (modern) {
        auto checked = MCPEra::check(*id, *method, *params);
        if (auto* refusal = std::get_if<JSON>(&checked)) {
            routed.reply = std::move(*refusal);
            return routed;
        }
        if (*method == "server/discover") {
            routed.reply = result(*id, MCPEra::discover(version_));
            return routed;
        }
        modernClient = std::get<MCPEra::Client>(std::move(checked));
    }
    if (*method == "initialize") {
        routed.reply = result(*id, initialize(*params));
    } else if (*method == "ping") {
        routed.reply = result(*id, JSON(JSON::Object{}));
    } else if (*method == "tools/list") {
        const auto& definitions = AgentWire::AgentTools::definitions();
        JSON::Object value{{"tools", JSON(JSON::Array(definitions.begin(), definitions.end()))}};
        if (modern) MCPEra::decorate(value, version_, true);
        routed.reply = result(*id, JSON(std::move(value)));
    } else if (*method == "tools/call") {
        const JSON* name = (*params)["name"];
        if (!name || !name->string()) {
            routed.reply = error(*id, -32602, "tools/call needs a tool name");
            return routed;
        }
        const JSON* arguments = (*params)["arguments"];
        // A modern client names itself on each request; a legacy session, when there is one, decides.
        if (modernClient && !session_ && introduce_) introduce_(modernClient->name, modernClient->version);
        const JSON* meta = (*params)["_meta"];
        const JSON* token = meta ? (*meta)["progressToken"] : nullptr;
        routed.call = ToolCall{*id, *name->string(), arguments ? *arguments : emptyParams,
                               token ? std::optional<JSON>(*token) : std::nullopt, modern};
    } else {
        routed.reply = error(*id, -32601, "Method not found: " + *method);
    }
    return routed;
}

std::string MCPServer::callReply(const JSON& id, ToolOutcome outcome, bool modern) const {
    JSON::Object value;
    value.appendUnchecked("content", JSON(std::move(outcome.content)));
    value.appendUnchecked("isError", outcome.isError);
    if (modern) MCPEra::decorate(value, version_, false);
    return result(id, JSON(std::move(value))).data();
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
    if (introduce_) introduce_(clientName, clientVersion);

    return JSON::object({
        {"protocolVersion", agreed},
        {"capabilities", JSON::object({{"tools", JSON::object({{"listChanged", false}})}})},
        {"serverInfo", MCPEra::serverInfo(version_)},
        {"instructions", JSON(AgentWire::AgentTools::instructions)},
    });
}

}  // namespace AgentMCP
