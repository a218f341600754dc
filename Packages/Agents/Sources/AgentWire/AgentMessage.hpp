#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "AgentWire/JSON.hpp"

namespace AgentWire {

// One message of the agent socket, in either direction: hello and call from the helper;
// welcome, denied, result, stopped and pending from the browser.
class AgentMessage {
public:
    struct Hello {
        std::string client;
        std::string clientVersion;
        friend bool operator==(const Hello&, const Hello&) = default;
    };
    struct Call {
        int64_t id = 0;
        std::string tool;
        JSON arguments;
        friend bool operator==(const Call&, const Call&) = default;
    };
    struct Welcome {
        std::string session;
        friend bool operator==(const Welcome&, const Welcome&) = default;
    };
    struct Denied {
        std::string reason;
        friend bool operator==(const Denied&, const Denied&) = default;
    };
    struct Result {
        int64_t id = 0;
        std::vector<JSON> content;
        bool isError = false;
        friend bool operator==(const Result&, const Result&) = default;
    };
    struct Stopped {
        std::string reason;
        friend bool operator==(const Stopped&, const Stopped&) = default;
    };
    struct Pending {
        friend bool operator==(const Pending&, const Pending&) = default;
    };
    using Payload = std::variant<Hello, Call, Welcome, Denied, Result, Stopped, Pending>;

    // Why a line or value is not a message.
    struct DecodeError {
        enum class Kind { malformed, unknownType, versionMismatch };
        Kind kind = Kind::malformed;
        std::string text;     // malformed: a lower-case clause; unknownType: the type read
        int64_t version = 0;  // versionMismatch: the version found, 0 when none

        static DecodeError malformed(std::string clause) { return {Kind::malformed, std::move(clause), 0}; }
        static DecodeError unknownType(std::string type) { return {Kind::unknownType, std::move(type), 0}; }
        static DecodeError versionMismatch(int64_t found) { return {Kind::versionMismatch, {}, found}; }
        // A short description for logs.
        std::string message() const;
        friend bool operator==(const DecodeError&, const DecodeError&) = default;
    };

    // Defaults used when the browser leaves a reason out.
    static constexpr std::string_view defaultDeniedReason = "Bosken refused the connection.";
    static constexpr std::string_view defaultStoppedReason = "The owner stopped agent access.";

    AgentMessage(Payload payload) : payload_(std::move(payload)) {}

    static AgentMessage hello(std::string client, std::string clientVersion) {
        return AgentMessage(Hello{std::move(client), std::move(clientVersion)});
    }
    static AgentMessage call(int64_t id, std::string tool, JSON arguments) {
        return AgentMessage(Call{id, std::move(tool), std::move(arguments)});
    }
    static AgentMessage welcome(std::string session) { return AgentMessage(Welcome{std::move(session)}); }
    static AgentMessage denied(std::string reason) { return AgentMessage(Denied{std::move(reason)}); }
    static AgentMessage result(int64_t id, std::vector<JSON> content, bool isError) {
        return AgentMessage(Result{id, std::move(content), isError});
    }
    static AgentMessage stopped(std::string reason) { return AgentMessage(Stopped{std::move(reason)}); }
    static AgentMessage pending() { return AgentMessage(Pending{}); }

    const Payload& payload() const { return payload_; }
    Payload& payload() { return payload_; }
    // The payload when the message is of case T, else nullptr.
    template <class T> const T* as() const { return std::get_if<T>(&payload_); }
    template <class T> T* as() { return std::get_if<T>(&payload_); }

    // The message as a JSON object.
    JSON json() const;
    // The compact sorted-key serialization of `json()` followed by one line feed.
    std::string line() const;

    // Decodes one line (without its line feed); any parse failure is malformed("not JSON"). A
    // lone surrogate escape reads as U+FFFD.
    static std::variant<AgentMessage, DecodeError> decode(std::string_view line);
    // Decodes a JSON value; the value is consumed so large contents move rather than copy.
    static std::variant<AgentMessage, DecodeError> decode(JSON value);

    friend bool operator==(const AgentMessage&, const AgentMessage&) = default;

private:
    Payload payload_;
};

}  // namespace AgentWire
