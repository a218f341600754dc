#include <gtest/gtest.h>
#include <unistd.h>

#include "AgentMCP/InputLines.hpp"
#include "AgentWire/FileDescriptor.hpp"

using AgentMCP::InputLines;

namespace {

// A pipe whose write end the test controls.
struct Pipe {
    AgentWire::FileDescriptor reader, writer;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        reader.reset(fds[0]);
        writer.reset(fds[1]);
    }
    void write(const std::string& bytes) { ASSERT_EQ(::write(writer.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
};

// The lines ready now, appended to `lines` ("<too long>" for a line over the limit).
void takeReady(InputLines& input, std::vector<std::string>& lines) {
    while (auto line = input.next()) lines.push_back(line->tooLong ? "<too long>" : line->text);
}

// Every line until the end of input, reading whenever none is ready.
std::vector<std::string> allLines(InputLines& input, std::vector<std::string> lines = {}) {
    for (takeReady(input, lines); !input.atEnd(); takeReady(input, lines)) input.read();
    return lines;
}

const size_t noLimit = 1u << 30;

TEST(InputLines, SplitsOnLineFeedsDroppingOneCarriageReturnAndBlankLines) {
    struct Case { std::string input; std::vector<std::string> lines; };
    for (const auto& c : std::vector<Case>{
             {"{\"a\":1}\r\n\r\n\n{\"b\":2}\r\n", {"{\"a\":1}", "{\"b\":2}"}},
             {"one\n\r", {"one", "\r"}},           // a lone CR at the end of input is a line
             {"x\r\r\n", {"x\r"}},                 // only one CR is dropped
             {"", {}},
         }) {
        Pipe pipe;
        pipe.write(c.input);
        pipe.writer.reset();
        InputLines input(pipe.reader.get(), "", noLimit);
        EXPECT_EQ(allLines(input), c.lines) << c.input;
        EXPECT_FALSE(input.next());  // and stays at the end
        EXPECT_FALSE(input.read());
    }
}

TEST(InputLines, ALineOverTheLimitIsReportedOnceAndSkippedToItsLineFeed) {
    struct Case { std::vector<std::string> writes /* each read separately */, lines; };
    for (const auto& c : std::vector<Case>{
             {{"0123456789\n"}, {"0123456789"}},  // exactly the limit
             {{"01234567890\nnext\n"}, {"<too long>", "next"}},
             {{"0123456789\r\n"}, {"<too long>"}},  // the CR counts
             // Over the limit before its end arrives: reported at once, the rest dropped as it comes.
             {{"a\n0123456789ab", "cdefgh", "ijk\nnext\n"}, {"a", "<too long>", "next"}},
         }) {
        Pipe pipe;
        InputLines input(pipe.reader.get(), "", 10);
        std::vector<std::string> lines;
        for (const auto& bytes : c.writes) {
            pipe.write(bytes);
            EXPECT_TRUE(input.read());
            takeReady(input, lines);
            EXPECT_LE(input.unhandled().size(), 10u);
        }
        pipe.writer.reset();
        EXPECT_EQ(allLines(input, lines), c.lines) << c.writes[0];
    }
}

TEST(InputLines, AReadErrorEndsTheInput) {
    InputLines input(-1, "last", noLimit);  // EBADF on the first read
    EXPECT_FALSE(input.next());             // not a line until the input ends
    EXPECT_FALSE(input.read());
    auto last = input.next();
    EXPECT_EQ(last ? last->text : "<none>", "last");
    EXPECT_FALSE(input.next());
}

}  // namespace
