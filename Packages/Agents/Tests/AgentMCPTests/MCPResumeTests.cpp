#include "AgentMCP/MCPResume.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace AgentMCP;

const std::string exe = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

TEST(MCPResumeTests, EncodesSortedCompactJSONWithBase64Input) {
    MCPResume record(MCPSession{"2025-06-18", "claude-code", "2.1.0", true}, "hi", "/A/b", {1780000000, 1780000000.5});
    EXPECT_EQ(record.encoded(), R"({"executable":"/A/b","input":"aGk=","relaunches":[1780000000,1780000000.5],)"
                                R"("session":{"clientName":"claude-code","clientVersion":"2.1.0","initialized":true,)"
                                R"("protocolVersion":"2025-06-18"},"v":1})");
    EXPECT_EQ(MCPResume(std::nullopt, "", "/x", {}).encoded(),
              R"({"executable":"/x","input":"","relaunches":[],"v":1})");
}

TEST(MCPResumeTests, RoundTrips) {
    std::string binary("{\"id\":1}\n\x00\xff\xfe\xc3(\r\n", 15);
    const std::vector<MCPResume> records = {
        MCPResume(std::nullopt, "", exe, {}),
        MCPResume(MCPSession{"2024-11-05", "", "", false}, "", exe, {}),
        MCPResume(MCPSession{"2025-06-18", "name \"quoted\" \u00e9", "v\\1", true}, binary, "/tmp/a path/x",
                  {1780000000.123456, 1780000001.000001, 1e-3, -5}),
    };
    for (const auto& record : records) {
        auto back = MCPResume::fromEncoded(record.encoded());
        ASSERT_TRUE(back.has_value()) << record.encoded();
        EXPECT_EQ(*back, record) << record.encoded();
        EXPECT_EQ(back->input, record.input);
    }
}

TEST(MCPResumeTests, KeepsTheLastEightRelaunchTimes) {
    std::vector<double> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(MCPResume(std::nullopt, "", exe, ten).relaunches, (std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(MCPResume(std::nullopt, "", exe, {1, 2, 3, 4, 5, 6, 7, 8}).relaunches.size(), 8u);
    auto read = MCPResume::fromEncoded(R"({"v":1,"executable":"/x","input":"","relaunches":[1,2,3,4,5,6,7,8,9,10]})");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->relaunches, (std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(MCPResumeTests, RejectsInvalidRecords) {
    std::string valid = MCPResume(MCPSession{"2025-06-18", "c", "1", true}, "abc", exe, {5}).encoded();
    for (std::string text : {
             std::string(),
             std::string("not json"),
             valid.substr(0, valid.size() / 2),  // truncated
             std::string("[]"),
             std::string("\"text\""),
             std::string(R"({"executable":"/x","input":""})"),          // no version
             std::string(R"({"v":2,"executable":"/x","input":""})"),    // another version
             std::string(R"({"v":"1","executable":"/x","input":""})"),  // version as text
             std::string(R"({"v":1.5,"executable":"/x","input":""})"),
             std::string(R"({"v":true,"executable":"/x","input":""})"),
             std::string(R"({"v":1,"input":""})"),  // no executable
             std::string(R"({"v":1,"executable":7,"input":""})"),
             std::string(R"({"v":1,"executable":"","input":""})"),
             std::string(R"({"v":1,"executable":"bin/bosken-mcp","input":""})"),  // relative
             std::string(R"({"v":1,"executable":"~/x","input":""})"),
             std::string(R"({"v":1,"executable":"/x"})"),  // no input
             std::string(R"({"v":1,"executable":"/x","input":null})"),
             std::string(R"({"v":1,"executable":"/x","input":"a*=="})"),   // outside the alphabet
             std::string(R"({"v":1,"executable":"/x","input":"aGk= "})"),  // whitespace
             std::string(R"({"v":1,"executable":"/x","input":"aGk"})"),    // missing padding
             std::string(R"({"v":1,"executable":"/x","input":""} trailing)"),
             std::string(100000, '['),  // hostile nesting
         }) {
        EXPECT_EQ(MCPResume::fromEncoded(text), std::nullopt) << text.substr(0, 200);
    }
}

TEST(MCPResumeTests, ReadsOptionalPartsLeniently) {
    struct Case {
        const char* text;
        std::optional<MCPSession> session;
        std::vector<double> relaunches;
    };
    const Case cases[] = {
        {R"({"v":1.0,"executable":"/x","input":""})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","relaunches":[1,"two",2,null]})", std::nullopt, {1, 2}},
        {R"({"v":1,"executable":"/x","input":"","relaunches":"1,2"})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","session":5})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","session":{"clientName":"c"}})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","session":{"protocolVersion":3}})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","session":{"protocolVersion":"p","clientName":4,"initialized":"yes"}})",
         MCPSession{"p", "", "", false},
         {}},
        {R"({"v":1,"executable":"/x","input":"","session":{"protocolVersion":"p","clientVersion":"9","initialized":true},"extra":[1]})",
         MCPSession{"p", "", "9", true},
         {}},
    };
    for (const auto& c : cases) {
        auto record = MCPResume::fromEncoded(c.text);
        ASSERT_TRUE(record.has_value()) << c.text;
        EXPECT_EQ(*record, MCPResume(c.session, "", "/x", c.relaunches)) << c.text;
    }
}

TEST(MCPResumeTests, ReadsLargeRecordsWithoutASizeLimit) {
    std::string input(300'000, 'x');
    MCPResume record(std::nullopt, input, exe, {});
    ASSERT_GT(record.encoded().size(), MCPResume::maxEncodedBytes);
    EXPECT_EQ(MCPResume::fromEncoded(record.encoded()), record);
}

TEST(MCPResumeTests, TakesTheRecordFromTheEnvironment) {
    MCPResume record(MCPSession{"2025-06-18", "c", "1", true}, "line\n", exe, {42});
    EXPECT_EQ(MCPResume::take({}), std::nullopt);
    EXPECT_EQ(MCPResume::take({{"HOME", "/Users/o"}, {"BOSKEN_MCP_RESUMED", record.encoded()}}), std::nullopt);
    EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", "garbage"}}), std::nullopt);
    EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", record.encoded()}, {"PATH", "/bin"}}), record);
}

}  // namespace
