#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "AgentMCP/InputLines.hpp"

using AgentMCP::InputLines;

namespace {

// A pipe whose write end the test controls.
struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        ::close(fds[0]);
        closeWriter();
    }
    void write(const std::string& bytes) { ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    void closeWriter() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
    int reader() const { return fds[0]; }
};

std::vector<std::string> allLines(InputLines& input) {
    std::vector<std::string> lines;
    while (auto line = input.next()) lines.push_back(*line);
    return lines;
}

TEST(InputLines, SplitsOnLineFeedsDroppingOneCarriageReturnAndBlankLines) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    };
    for (const auto& c : std::vector<Case>{
             {"{\"a\":1}\r\n\r\n\n{\"b\":2}\r\n", {"{\"a\":1}", "{\"b\":2}"}},
             {"one\ntwo", {"one", "two"}},
             {"one\n\r", {"one", "\r"}},           // a lone CR at the end of input is a line
             {"x\r\r\n", {"x\r"}},                 // only one CR is dropped
             {"\r\n\n\r\n", {}},
             {"", {}},
         }) {
        Pipe pipe;
        pipe.write(c.input);
        pipe.closeWriter();
        InputLines input(pipe.reader(), "");
        EXPECT_EQ(allLines(input), c.lines) << c.input;
        EXPECT_FALSE(input.next());  // and stays at the end
    }
}

TEST(InputLines, PendingBytesComeFirstWithoutReading) {
    Pipe pipe;  // nothing written yet: a read now would block the test
    InputLines input(pipe.reader(), "first\nsec");
    EXPECT_EQ(input.next(), "first");
    pipe.write("ond\nthird");
    pipe.closeWriter();
    EXPECT_EQ(input.next(), "second");
    EXPECT_EQ(input.next(), "third");
    EXPECT_FALSE(input.next());
}

TEST(InputLines, UnhandledIsTheCurrentLineAndEverythingReadAhead) {
    Pipe pipe;
    pipe.write("one\r\ntwo\r\nthree\r\nrest");
    pipe.closeWriter();
    InputLines input(pipe.reader(), "");
    EXPECT_EQ(input.unhandled(), "");  // nothing read yet
    EXPECT_EQ(input.next(), "one");
    EXPECT_EQ(input.next(), "two");
    EXPECT_EQ(input.current(), "two");
    // The handled line goes back with a plain line feed; what follows keeps its own bytes.
    std::string handover = input.unhandled();
    EXPECT_EQ(handover, "two\nthree\r\nrest");
    EXPECT_EQ(input.unhandled(), handover);  // reading it changes nothing

    InputLines resumed(-1, handover);
    EXPECT_EQ(allLines(resumed), (std::vector<std::string>{"two", "three", "rest"}));

    EXPECT_EQ(input.next(), "three");
    EXPECT_EQ(input.next(), "rest");
    EXPECT_FALSE(input.next());
    EXPECT_FALSE(input.current());
    EXPECT_EQ(input.unhandled(), "");
}

TEST(InputLines, ALongLineArrivingInPiecesIsWhole) {
    Pipe pipe;
    std::string big(300000, 'x');
    InputLines input(pipe.reader(), "");
    std::thread writer([&] {
        pipe.write(big.substr(0, 100000));
        pipe.write(big.substr(100000) + "\nnext\n");
        pipe.closeWriter();
    });
    EXPECT_EQ(input.next(), big);
    EXPECT_EQ(input.next(), "next");
    EXPECT_FALSE(input.next());
    writer.join();
}

TEST(InputLines, AReadErrorEndsTheInput) {
    InputLines input(-1, "last");  // EBADF on the first read
    EXPECT_EQ(input.next(), "last");
    EXPECT_FALSE(input.next());
}

}  // namespace
