#include <gtest/gtest.h>

#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/AgentWire.hpp"

using AgentWire::AgentMessage;
using AgentWire::JSON;
using DecodeError = AgentMessage::DecodeError;

namespace {

AgentMessage decoded(std::string_view line) {
    auto result = AgentMessage::decode(line);
    if (auto* error = std::get_if<DecodeError>(&result)) {
        ADD_FAILURE() << "decoding " << line << " failed: " << error->message();
        return AgentMessage::pending();
    }
    return std::get<AgentMessage>(result);
}

DecodeError failure(std::string_view line) {
    auto result = AgentMessage::decode(line);
    if (auto* error = std::get_if<DecodeError>(&result)) return *error;
    ADD_FAILURE() << "decoding " << line << " succeeded";
    return {};
}

}  // namespace

TEST(AgentWireConstants, DefaultSocketPathIsUnderTheHomeDirectory) {
    const std::string tail = "Library/Application Support/Bosken/Agents/agent.sock";
    EXPECT_EQ(AgentWire::defaultSocketPath("/Users/ann//"), "/Users/ann/" + tail);
    EXPECT_EQ(AgentWire::defaultSocketPath("/"), "/" + tail);
}

TEST(AgentMessageEncoding, WritesEachCaseAsOneSortedLine) {
    const std::pair<AgentMessage, std::string> cases[] = {
        {AgentMessage::hello("claude-code", "2.1"),
         R"({"client":"claude-code","clientVersion":"2.1","type":"hello","version":1})"},
        {AgentMessage::call(7, "open_tab", JSON::object({{"url", "https://a.example/x"}})),
         R"({"arguments":{"url":"https://a.example/x"},"id":7,"tool":"open_tab","type":"call"})"},
        {AgentMessage::denied("No."), R"({"reason":"No.","type":"denied"})"},
        {AgentMessage::result(9, {JSON::object({{"type", "text"}, {"text", "a\nb"}})}, true),
         R"({"content":[{"text":"a\nb","type":"text"}],"id":9,"isError":true,"type":"result"})"},
    };
    for (const auto& [message, line] : cases) {
        EXPECT_EQ(message.line(), line + "\n");
        EXPECT_EQ(decoded(line), message) << line;
    }
}

TEST(AgentMessageDecoding, AppliesDefaults) {
    const std::pair<const char*, AgentMessage> cases[] = {
        {R"({"type":"hello","version":1})", AgentMessage::hello("", "")},
        {R"({"type":"hello","version":1.0,"client":5,"clientVersion":"3"})", AgentMessage::hello("", "3")},
        {R"({"type":"call","id":3,"tool":"click"})", AgentMessage::call(3, "click", JSON(JSON::Object{}))},
        {R"({"type":"call","id":3,"tool":"click","arguments":[1]})", AgentMessage::call(3, "click", JSON::array({1}))},
        {R"({"type":"denied"})", AgentMessage::denied("Bosken refused the connection.")},
        {R"({"type":"stopped","reason":7})", AgentMessage::stopped("The owner stopped agent access.")},
        {R"({"type":"result","id":5,"content":"x","isError":"yes"})", AgentMessage::result(5, {}, false)},
        {" {\"type\":\"pending\"}\r", AgentMessage::pending()},
    };
    for (const auto& [line, message] : cases) EXPECT_EQ(decoded(line), message) << line;
}

TEST(AgentMessageDecoding, ReportsEachFailure) {
    const std::pair<const char*, DecodeError> cases[] = {
        {"{\"type\":\"pending\"}\n{}", DecodeError::malformed("not JSON")},
        {"[1]", DecodeError::malformed("no type")},
        {R"({"type":1})", DecodeError::malformed("no type")},
        {R"({"type":"Welcome"})", DecodeError::unknownType("Welcome")},
        {R"({"type":"hello","version":2})", DecodeError::versionMismatch(2)},
        {R"({"type":"hello","version":1.5,"client":"x"})", DecodeError::versionMismatch(0)},
        {R"({"type":"call","id":1.5,"tool":"click"})", DecodeError::malformed("a call needs id and tool")},
        {R"({"type":"call","id":1,"tool":null})", DecodeError::malformed("a call needs id and tool")},
        {R"({"type":"result","id":1e300})", DecodeError::malformed("a result needs id")},
    };
    for (const auto& [line, error] : cases) EXPECT_EQ(failure(line), error) << line;
}

TEST(AgentMessageDecoding, KeepsLargeIdsAndContentExactly) {
    JSON item = JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", std::string(1000, 'A')}});
    AgentMessage message = AgentMessage::result(4'000'000'000'123, {item, JSON("odd item")}, false);
    EXPECT_EQ(decoded(message.json().data()), message);
    // Another side's serializer may write a lone surrogate escape: one character is lost, not the result.
    EXPECT_EQ(decoded(R"({"type":"result","id":2,"content":[{"type":"text","text":"a\ud800"}]})"),
              AgentMessage::result(2, {JSON::object({{"type", "text"}, {"text", "a\xEF\xBF\xBD"}})}, false));
}
