#include "AgentWire/AgentMessage.hpp"

#include "AgentWire/AgentWire.hpp"

namespace AgentWire {

namespace {

std::string stringOr(const JSON::Object& object, std::string_view key, std::string_view fallback) {
    if (const JSON* value = object.find(key)) {
        if (const std::string* text = value->string()) return *text;
    }
    return std::string(fallback);
}

std::optional<int64_t> integerAt(const JSON::Object& object, std::string_view key) {
    const JSON* value = object.find(key);
    return value ? value->intValue() : std::nullopt;
}

}  // namespace

std::string AgentMessage::DecodeError::message() const {
    switch (kind) {
    case Kind::malformed: return "malformed message: " + text;
    case Kind::unknownType: return "unknown message type \"" + text + "\"";
    case Kind::versionMismatch: return "wire version mismatch: " + std::to_string(version);
    }
    return {};
}

JSON AgentMessage::json() const {
    struct Encoder {
        JSON operator()(const Hello& m) const {
            return JSON::object({{"type", "hello"},
                                 {"version", JSON(static_cast<double>(AgentWire::version))},
                                 {"client", m.client},
                                 {"clientVersion", m.clientVersion}});
        }
        JSON operator()(const Call& m) const {
            return JSON::object({{"type", "call"},
                                 {"id", JSON(static_cast<double>(m.id))},
                                 {"tool", m.tool},
                                 {"arguments", m.arguments}});
        }
        JSON operator()(const Welcome& m) const {
            return JSON::object({{"type", "welcome"}, {"session", m.session}});
        }
        JSON operator()(const Denied& m) const { return JSON::object({{"type", "denied"}, {"reason", m.reason}}); }
        JSON operator()(const Result& m) const {
            return JSON::object({{"type", "result"},
                                 {"id", JSON(static_cast<double>(m.id))},
                                 {"content", JSON(m.content)},
                                 {"isError", m.isError}});
        }
        JSON operator()(const Stopped& m) const {
            return JSON::object({{"type", "stopped"}, {"reason", m.reason}});
        }
        JSON operator()(const Pending&) const { return JSON::object({{"type", "pending"}}); }
    };
    return std::visit(Encoder{}, payload_);
}

std::string AgentMessage::line() const {
    std::string out = json().data();
    out.push_back('\n');
    return out;
}

std::variant<AgentMessage, AgentMessage::DecodeError> AgentMessage::decode(std::string_view line) {
    // The other side's serializer may write a lone surrogate escape; that costs one character,
    // never the message.
    auto parsed = JSON::parse(line, {.loneSurrogatesAsReplacement = true});
    if (auto* value = std::get_if<JSON>(&parsed)) return decode(std::move(*value));
    return DecodeError::malformed("not JSON");
}

std::variant<AgentMessage, AgentMessage::DecodeError> AgentMessage::decode(JSON value) {
    JSON::Object* object = value.object();
    const JSON* typeValue = object ? object->find("type") : nullptr;
    const std::string* type = typeValue ? typeValue->string() : nullptr;
    if (!type) return DecodeError::malformed("no type");

    if (*type == "hello") {
        auto found = integerAt(*object, "version");
        if (!found) return DecodeError::versionMismatch(0);
        if (*found != AgentWire::version) return DecodeError::versionMismatch(*found);
        return hello(stringOr(*object, "client", ""), stringOr(*object, "clientVersion", ""));
    }
    if (*type == "call") {
        auto id = integerAt(*object, "id");
        const JSON* tool = object->find("tool");
        if (!id || !tool || !tool->string()) return DecodeError::malformed("a call needs id and tool");
        JSON* arguments = object->find("arguments");
        return call(*id, *tool->string(), arguments ? std::move(*arguments) : JSON(JSON::Object{}));
    }
    if (*type == "pending") return pending();
    if (*type == "welcome") return welcome(stringOr(*object, "session", ""));
    if (*type == "denied") return denied(stringOr(*object, "reason", defaultDeniedReason));
    if (*type == "result") {
        auto id = integerAt(*object, "id");
        if (!id) return DecodeError::malformed("a result needs id");
        std::vector<JSON> content;
        if (JSON* items = object->find("content")) {
            if (JSON::Array* array = items->array()) content = std::move(*array);
        }
        bool isError = false;
        if (const JSON* flag = object->find("isError")) isError = flag->boolValue().value_or(false);
        return result(*id, std::move(content), isError);
    }
    if (*type == "stopped") return stopped(stringOr(*object, "reason", defaultStoppedReason));
    return DecodeError::unknownType(*type);
}

}  // namespace AgentWire
