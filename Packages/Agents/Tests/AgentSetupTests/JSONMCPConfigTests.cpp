#include "AgentSetup/JSONMCPConfig.hpp"

#include <gtest/gtest.h>

using namespace AgentSetup;
using AgentWire::JSON;

namespace {

const std::string kHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::string kNotJSON = "it isn't valid JSON (comments and trailing commas aren't accepted)";

using Format = JSONMCPConfig::Format;
constexpr JSONTextEdit::Syntax kStrict{}, kComments{.comments = true}, kJSONC{.comments = true, .trailingCommas = true};
const Format kMCPFile{"mcpServers", kStrict, true};

JSON entry(const std::string& command = kHelper) {
    return JSON::object({{"command", JSON(command)}, {"args", JSON::array({})}});
}

using Merged = std::variant<std::string, JSONMCPConfig::Problem>;
Merged merged(const std::optional<std::string>& bytes, const JSON& with = entry(), const Format& format = kMCPFile) {
    return JSONMCPConfig::merged(bytes, format, "bosken", with);
}

using EntryResult = std::variant<std::optional<JSON>, JSONMCPConfig::Problem>;
EntryResult entryIn(const std::optional<std::string>& bytes, const Format& format = kMCPFile) { return JSONMCPConfig::entry(bytes, format, "bosken"); }
EntryResult none() { return std::optional<JSON>{}; }

const std::string kAlone = "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n"
                           "      \"command\" : \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"\n    }\n  }\n}\n";

}  // namespace

TEST(JSONMCPConfig, NoFileOrABlankFileGivesTheEntryAlone) {
    for (std::optional<std::string> bytes : {std::optional<std::string>{}, std::optional<std::string>{" \t\r\n  \n"}}) {
        EXPECT_EQ(merged(bytes), Merged(kAlone));
        EXPECT_EQ(entryIn(bytes), none());
    }
}

TEST(JSONMCPConfig, UnreadableFilesAndRefusedLayouts) {
    const std::string notAnObject = "it isn't a JSON object", withComments = "it isn't valid JSON (comments are fine, trailing commas aren't)",
                      withCommas = "it isn't valid JSON, even allowing comments and trailing commas";
    const Format gemini{"mcpServers", kComments, false}, zed{"context_servers", kJSONC, false};
    struct Case { std::string bytes; Format format; JSONMCPConfig::Problem problem; };
    const Case cases[] = {
        {"\f", kMCPFile, {kNotJSON, false}}, {"null", kMCPFile, {kNotJSON, false}}, {"[]", kMCPFile, {notAnObject, false}},
        {"{\"a\": 1, // note\n\"b\": 2}", kMCPFile, {kNotJSON, false}}, {"{\"mcpServers\": {},}", kMCPFile, {kNotJSON, false}},
        {"{\"mcpServers\": {},}", gemini, {withComments, false}}, {"// only a comment", gemini, {withComments, false}},
        {"{\"a\": 1} /* open", zed, {withCommas, false}}, {"{,}", zed, {withCommas, false}},
        {"{\"mcpServers\": []}", kMCPFile, {"\"mcpServers\" in it isn't an object", true}},
        {"{\"context_servers\": null}", zed, {"\"context_servers\" in it isn't an object", true}},
        {"{\"mcpServers\": {}, \"mcp\\u0053ervers\": {}}", kMCPFile, {"it has \"mcpServers\" twice", true}},
        {"{\"mcpServers\": {\"bosken\": {}, \"bosken\": {}}}", kMCPFile, {"\"mcpServers\" in it has \"bosken\" twice", true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(merged(c.bytes, entry(), c.format), Merged(c.problem));
        EXPECT_EQ(JSONMCPConfig::removed(c.bytes, c.format, "bosken"), Merged(c.problem));
        // Reading the entry refuses only what can't be read.
        EXPECT_EQ(entryIn(c.bytes, c.format), c.problem.isLayout ? none() : EntryResult(c.problem));
    }
}

TEST(JSONMCPConfig, EntryReadsTheValueWithExactNumbers) {
    EXPECT_EQ(entryIn("{\"mcpServers\": {\"bosken\": {\"command\": \"\\/x\\u00e9\", \"timeout\": 1.50}}}"),
              EntryResult(JSON::object({{"command", JSON("/x\xC3\xA9")}, {"timeout", JSON::number(1.5, "1.50")}})));
    EXPECT_EQ(entryIn("{\"mcpServers\": {\"other\": {\"command\": \"/x\"}}, \"bosken\": {}}"), none());
    EXPECT_EQ(entryIn("/* c */ {\"mcpServers\": {\"bosken\": 5, /* d */}, }", {"mcpServers", kJSONC, true}), EntryResult(std::optional<JSON>(JSON(5))));
}

// Each file in its own style: the new member takes the file's indent, line ending and spacing;
// every other byte stays; a second install changes nothing, and removing gives the file back.
TEST(JSONMCPConfig, InPlaceEditsKeepTheFilesStyle) {
    const JSON fresh = entry("/H");
    const std::string bom = "\xEF\xBB\xBF";
    const Format general{"mcpServers", kComments, false}, zed{"context_servers", kJSONC, false},
        vscode{"servers", kJSONC, true};
    struct Case { const char* what; Format format; std::string before, after; };
    const Case cases[] = {
        {"two spaces, spaced colons, another server", kMCPFile, "{\n  \"mcpServers\" : {\n    \"other\" : {\n      \"command\" : \"x\"\n    }\n  }\n}\n",
         "{\n  \"mcpServers\" : {\n    \"other\" : {\n      \"command\" : \"x\"\n    },\n    \"bosken\" : {\n"
         "      \"command\" : \"/H\",\n      \"args\" : []\n    }\n  }\n}\n"},
        {"four spaces, unsorted keys, escapes and numbers, no servers yet", general, "{\n    \"zeta\": \"\\u00e9\\/\",\n    \"alpha\": 1.50e0\n}\n",
         "{\n    \"zeta\": \"\\u00e9\\/\",\n    \"alpha\": 1.50e0,\n    \"mcpServers\": {\n        \"bosken\": {\n"
         "            \"command\": \"/H\",\n            \"args\": []\n        }\n    }\n}\n"},
        {"tabs, CR LF, a BOM, no final newline, empty servers", kMCPFile, bom + "{\r\n\t\"mcpServers\": {}\r\n}",
         bom + "{\r\n\t\"mcpServers\": {\r\n\t\t\"bosken\": {\r\n\t\t\t\"command\": \"/H\",\r\n\t\t\t\"args\": []\r\n"
               "\t\t}\r\n\t}\r\n}"},
        {"one line without spaces", kMCPFile, "{\"mcpServers\":{\"a\":{\"command\":\"x\"}}}",
         "{\"mcpServers\":{\"a\":{\"command\":\"x\"},\"bosken\":{\"command\":\"/H\",\"args\":[]}}}"},
        {"one line, empty object", general, "{}", "{\"mcpServers\": {\"bosken\": {\"command\": \"/H\", \"args\": []}}}"},
        {"comments before, inside and after, trailing commas", zed,
         "// Zed settings\n{\n  \"theme\": \"One Dark\", // mine\n  /* servers */\n  \"context_servers\": {\n"
         "    \"other\": {\"command\": \"x\",}, // keep\n  },\n}\n// end\n",
         "// Zed settings\n{\n  \"theme\": \"One Dark\", // mine\n  /* servers */\n  \"context_servers\": {\n"
         "    \"other\": {\"command\": \"x\",}, // keep\n    \"bosken\": {\n      \"command\": \"/H\",\n"
         "      \"args\": []\n    },\n  },\n}\n// end\n"},
        {"a comment after the last member, no trailing comma", vscode, "{\n  \"servers\": {\n    \"a\": {} // note\n  }\n}\n",
         "{\n  \"servers\": {\n    \"a\": {}, // note\n    \"bosken\": {\n      \"command\": \"/H\",\n"
         "      \"args\": []\n    }\n  }\n}\n"},
        {"an empty object holding a comment", vscode, "{\n  \"servers\": {\n    // none yet\n  }\n}\n",
         "{\n  \"servers\": {\n    // none yet\n    \"bosken\": {\n      \"command\": \"/H\",\n      \"args\": []\n"
         "    }\n  }\n}\n"},
        {"a block comment across lines in an empty object", vscode, "{\n  \"servers\": {\n    /* a\n    b */ }\n}\n",
         "{\n  \"servers\": {\n    \"bosken\": {\n      \"command\": \"/H\",\n      \"args\": []\n    }\n    /* a\n"
         "    b */ }\n}\n"},
        {"a comment line ending the root", general, "{\n  \"a\": 1\n  // last\n}",
         "{\n  \"a\": 1,\n  \"mcpServers\": {\n    \"bosken\": {\n      \"command\": \"/H\",\n      \"args\": []\n"
         "    }\n  }\n  // last\n}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto once = merged(c.before, fresh, c.format);
        ASSERT_EQ(once, Merged(c.after));
        EXPECT_EQ(merged(c.after, fresh, c.format), once);
        EXPECT_EQ(entryIn(c.after, c.format), EntryResult(std::optional<JSON>(fresh)));
        EXPECT_EQ(JSONMCPConfig::removed(c.after, c.format, "bosken"), Merged(c.before));
        EXPECT_EQ(JSONMCPConfig::removed(c.before, c.format, "bosken"), Merged(c.before));
    }
}

TEST(JSONMCPConfig, ReplacingAnEntryRewritesOnlyItsValue) {
    const std::string before = "{\"z\": 1, \"mcpServers\": {\"bosken\": {\"command\": \"/old\"}, \"n\": 2}}";
    EXPECT_EQ(merged(before, entry("/H")), Merged("{\"z\": 1, \"mcpServers\": {\"bosken\": {\"command\": \"/H\", \"args\": []}, \"n\": 2}}"));
    EXPECT_EQ(JSONMCPConfig::removed(before, kMCPFile, "bosken"), Merged("{\"z\": 1, \"mcpServers\": {\"n\": 2}}"));
}

TEST(JSONMCPConfig, EntryTextsThatArentUTF8AreRefused) {
    const JSON bad = entry("/bad\xFF");
    EXPECT_EQ(merged(std::nullopt, bad), Merged(JSONMCPConfig::Problem{"the new entry for it isn't valid UTF-8", false}));
    EXPECT_EQ(JSONMCPConfig::snippet(kMCPFile, "bosken", bad), "");
}
