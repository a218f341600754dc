#include "AgentMCP/MCPResume.hpp"
#include "AgentMCP/HelperBinary.hpp"
#include "AgentWire/FileDescriptor.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace AgentMCP;

const std::string exe = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

TEST(MCPResumeTests, EncodesSortedCompactJSONWithBase64InputAndRoundTrips) {
    MCPResume record(MCPSession{"2025-06-18", "claude-code", "2.1.0", true}, "hi", "/A/b", {1780000000, 1780000000.5});
    EXPECT_EQ(record.encoded(), R"({"executable":"/A/b","input":"aGk=","relaunches":[1780000000,1780000000.5],)"
                                R"("session":{"clientName":"claude-code","clientVersion":"2.1.0","initialized":true,)"
                                R"("protocolVersion":"2025-06-18"},"v":1})");
    for (const auto& record : {
             MCPResume(std::nullopt, "", exe, {}),
             MCPResume(MCPSession{"2025-06-18", "name \"quoted\" \u00e9", "v\\1", true}, std::string("{\"id\":1}\n\x00\xff\xfe\xc3(\r\n", 15),
                       "/tmp/a path/x", {1780000000.123456, 1780000001.000001, 1e-3, -5}),
         }) {
        EXPECT_EQ(MCPResume::fromEncoded(record.encoded()), record) << record.encoded();
    }
    // Only the last eight relaunch times are kept.
    EXPECT_EQ(MCPResume(std::nullopt, "", exe, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}).relaunches, (std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(MCPResumeTests, RejectsInvalidRecords) {
    std::string valid = MCPResume(MCPSession{"2025-06-18", "c", "1", true}, "abc", exe, {5}).encoded();
    for (const std::string& text : std::vector<std::string>{
             "", valid.substr(0, valid.size() / 2), "[]",
             // The version: absent, another one, as text, not an integer.
             R"({"executable":"/x","input":""})", R"({"v":2,"executable":"/x","input":""})",
             R"({"v":"1","executable":"/x","input":""})", R"({"v":1.5,"executable":"/x","input":""})",
             // The executable: absent, not text, empty, relative.
             R"({"v":1,"input":""})", R"({"v":1,"executable":7,"input":""})", R"({"v":1,"executable":"","input":""})",
             R"({"v":1,"executable":"bin/bosken-mcp","input":""})",
             // The input: absent, null, outside the alphabet.
             R"({"v":1,"executable":"/x"})", R"({"v":1,"executable":"/x","input":null})", R"({"v":1,"executable":"/x","input":"a*=="})",
             R"({"v":1,"executable":"/x","input":""} trailing)", std::string(100000, '['),
         }) {
        EXPECT_EQ(MCPResume::fromEncoded(text), std::nullopt) << text.substr(0, 200);
    }
}

TEST(MCPResumeTests, ReadsOptionalPartsLeniently) {
    struct Case { const char* text; std::optional<MCPSession> session; std::vector<double> relaunches; };
    const Case cases[] = {
        {R"({"v":1.0,"executable":"/x","input":"","relaunches":[1,"two",2,null]})", std::nullopt, {1, 2}},
        {R"({"v":1,"executable":"/x","input":"","relaunches":"1,2","session":{"clientName":"c"}})", std::nullopt, {}},
        {R"({"v":1,"executable":"/x","input":"","session":{"protocolVersion":"p","clientName":4,"clientVersion":"9","initialized":"yes"},"extra":[1]})",
         MCPSession{"p", "", "9", false}, {}},
        {R"({"v":1,"executable":"/x","input":"","relaunches":[1,2,3,4,5,6,7,8,9,10]})", std::nullopt, {3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const auto& c : cases) EXPECT_EQ(MCPResume::fromEncoded(c.text), MCPResume(c.session, "", "/x", c.relaunches)) << c.text;
}

TEST(MCPResumeTests, TakesTheRecordFromTheEnvironment) {
    MCPResume record(MCPSession{"2025-06-18", "c", "1", true}, "line\n", exe, {42});
    EXPECT_EQ(MCPResume::take({{"HOME", "/Users/o"}, {"BOSKEN_MCP_RESUMED", record.encoded()}}), std::nullopt);
    EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", "garbage"}}), std::nullopt);
    EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", record.encoded()}, {"PATH", "/bin"}}), record);
}

#if defined(__linux__)
// A record too long for one environment string travels in a memory file, closed once read;
// a descriptor that isn't such a file is neither read nor closed.
TEST(MCPResumeTests, TakesALongRecordFromTheMemoryFileTheVariableNames) {
    MCPResume record(MCPSession{"2025-06-18", std::string(200 * 1024, 'n'), "1", true}, "line\n", exe, {42});
    int file = AgentMCP::HelperBinary::handOverFile(record.encoded());
    ASSERT_GT(file, 2);
    EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", "fd:" + std::to_string(file)}}), record);
    EXPECT_EQ(::fcntl(file, F_GETFD), -1) << "left open";

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    AgentWire::FileDescriptor reader(pipe[0]), writer(pipe[1]);
    ASSERT_EQ(::write(pipe[1], "{}", 2), 2);
    for (const std::string& value : {"fd:" + std::to_string(pipe[0]), std::string("fd:0"), "fd:" + std::to_string(file), std::string("fd:1x")}) {
        EXPECT_EQ(MCPResume::take({{"BOSKEN_MCP_RESUME", value}}), std::nullopt) << value;
    }
    char byte;
    EXPECT_EQ(::read(pipe[0], &byte, 1), 1) << "the pipe was read or closed";
}
#endif

}  // namespace
