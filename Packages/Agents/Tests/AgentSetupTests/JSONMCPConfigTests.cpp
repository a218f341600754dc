#include "AgentSetup/JSONMCPConfig.hpp"

#include <gtest/gtest.h>

using namespace AgentSetup;
using AgentWire::JSON;

namespace {

const std::string kHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::string kNotJSON = "it isn't valid JSON (comments and trailing commas aren't accepted)";

JSON entry(const std::string& command = kHelper) {
    return JSON::object({{"command", JSON(command)}, {"args", JSON::array({})}});
}

using Merged = std::variant<std::string, JSONMCPConfig::Problem>;
Merged merged(const std::optional<std::string>& bytes, const JSON& with = entry()) {
    return JSONMCPConfig::merged(bytes, "bosken", with);
}

using CommandResult = std::variant<std::optional<std::string>, JSONMCPConfig::Problem>;
CommandResult command(const std::optional<std::string>& bytes) { return JSONMCPConfig::command(bytes, "bosken"); }
CommandResult none() { return std::optional<std::string>{}; }
CommandResult found(std::string text) { return std::optional<std::string>{std::move(text)}; }

const std::string kAlone =
    "{\n"
    "  \"mcpServers\" : {\n"
    "    \"bosken\" : {\n"
    "      \"args\" : [],\n"
    "      \"command\" : \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"\n"
    "    }\n"
    "  }\n"
    "}\n";

}  // namespace

TEST(JSONMCPConfig, NoFileOrABlankFileGivesTheEntryAlone) {
    for (std::optional<std::string> bytes : {std::optional<std::string>{}, std::optional<std::string>{""},
                                             std::optional<std::string>{" \t\r\n  \n"}}) {
        EXPECT_EQ(merged(bytes), Merged(kAlone));
        EXPECT_EQ(command(bytes), none());
    }
}

TEST(JSONMCPConfig, UnreadableFiles) {
    const std::string notAnObject = "it isn't a JSON object";
    const std::pair<std::string, std::string> cases[] = {
        {"\f", kNotJSON},
        {"{\"a\": 1, // note\n\"b\": 2}", kNotJSON},
        {"/* c */ {}", kNotJSON},
        {"{\"mcpServers\": {},}", kNotJSON},
        {"[1, 2,]", kNotJSON},
        {"{\"a\": ", kNotJSON},
        {"5", kNotJSON},
        {"\"x\"", kNotJSON},
        {"null", kNotJSON},
        {"{\"a\": \"\xFF\"}", kNotJSON},
        {"{} {}", kNotJSON},
        {"[]", notAnObject},
        {"[{\"mcpServers\": {}}]", notAnObject},
    };
    for (const auto& [bytes, message] : cases) {
        EXPECT_EQ(merged(bytes), Merged(JSONMCPConfig::Problem{message, false})) << bytes;
        EXPECT_EQ(command(bytes), CommandResult(JSONMCPConfig::Problem{message, false})) << bytes;
    }
}

TEST(JSONMCPConfig, MCPServersOfAnotherKindIsALayoutProblem) {
    for (std::string value : {"null", "[]", "[{}]", "\"x\"", "0", "false"}) {
        std::string bytes = "{\"mcpServers\": " + value + "}";
        EXPECT_EQ(merged(bytes), Merged(JSONMCPConfig::Problem{"\"mcpServers\" in it isn't an object", true})) << value;
        EXPECT_EQ(command(bytes), none()) << value;
    }
}

TEST(JSONMCPConfig, Command) {
    struct Case {
        std::string bytes;
        CommandResult expected;
    };
    const std::vector<Case> cases{
        {"{\"mcpServers\": {\"bosken\": {\"command\": \" /a b/ \"}}}", found(" /a b/ ")},
        {"{\"mcpServers\": {\"bosken\": {\"command\": \"\\/x\\u00e9\"}}}", found("/x\xC3\xA9")},
        {"{\"mcpServers\": {\"bosken\": {\"command\": 5}}}", none()},
        {"{\"mcpServers\": {\"bosken\": {\"args\": []}}}", none()},
        {"{\"mcpServers\": {\"bosken\": \"/x\"}}", none()},
        {"{\"mcpServers\": {\"other\": {\"command\": \"/x\"}}}", none()},
        {"{\"bosken\": {\"command\": \"/x\"}}", none()},
        {"{}", none()},
    };
    for (const auto& c : cases) EXPECT_EQ(command(c.bytes), c.expected) << c.bytes;
}

TEST(JSONMCPConfig, MergeKeepsEverythingElseAndSortsKeys) {
    const std::string before =
        R"({"zeta": {"b": [1, 2.50, {"y": null, "x": true}], "a": "\u00e9\/"},)"
        R"( "mcpServers": {"other": {"command": "/usr/bin/other", "env": {"K": "V"}},)"
        R"( "bosken": {"command": "/old", "env": {"DROP": "1"}, "args": ["--x"]}},)"
        R"( "big": 9007199254740993, "long": 123456789012345678901234567890, "small": 1e-400, "neg": -0.0,)"
        R"( "alpha": []})";
    const std::string expected =
        "{\n"
        "  \"alpha\" : [],\n"
        "  \"big\" : 9007199254740993,\n"
        "  \"long\" : 123456789012345678901234567890,\n"
        "  \"mcpServers\" : {\n"
        "    \"bosken\" : {\n"
        "      \"args\" : [],\n"
        "      \"command\" : \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"\n"
        "    },\n"
        "    \"other\" : {\n"
        "      \"command\" : \"/usr/bin/other\",\n"
        "      \"env\" : {\n"
        "        \"K\" : \"V\"\n"
        "      }\n"
        "    }\n"
        "  },\n"
        "  \"neg\" : -0.0,\n"
        "  \"small\" : 1e-400,\n"
        "  \"zeta\" : {\n"
        "    \"a\" : \"\xC3\xA9/\",\n"
        "    \"b\" : [\n"
        "      1,\n"
        "      2.50,\n"
        "      {\n"
        "        \"x\" : true,\n"
        "        \"y\" : null\n"
        "      }\n"
        "    ]\n"
        "  }\n"
        "}\n";
    EXPECT_EQ(merged(before), Merged(expected));
    EXPECT_EQ(merged(expected), Merged(expected));  // idempotent
    EXPECT_EQ(command(expected), found(kHelper));
}

TEST(JSONMCPConfig, MergingTheSameEntryChangesOnlyFormatting) {
    EXPECT_EQ(merged("{\"mcpServers\":{\"bosken\":{\"command\":\"" + kHelper + "\",\"args\":[]}}}"), Merged(kAlone));
    EXPECT_EQ(merged(kAlone), Merged(kAlone));
}

TEST(JSONMCPConfig, EntryTextsThatArentUTF8AreRefused) {
    const JSON bad = entry("/bad\xFF");
    EXPECT_EQ(merged(std::nullopt, bad), Merged(JSONMCPConfig::Problem{"the new entry for it isn't valid UTF-8", false}));
    EXPECT_EQ(JSONMCPConfig::snippet("bosken", bad), "");
}

TEST(JSONMCPConfig, Snippet) {
    EXPECT_EQ(JSONMCPConfig::snippet("bosken", entry()), kAlone.substr(0, kAlone.size() - 1));
    EXPECT_EQ(JSONMCPConfig::snippet("bosken", entry("/Volumes/\"Q\"\\x\ty")),
              "{\n"
              "  \"mcpServers\" : {\n"
              "    \"bosken\" : {\n"
              "      \"args\" : [],\n"
              "      \"command\" : \"/Volumes/\\\"Q\\\"\\\\x\\ty\"\n"
              "    }\n"
              "  }\n"
              "}");
}
