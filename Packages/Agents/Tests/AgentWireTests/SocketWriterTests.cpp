#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "AgentWire/SocketWriter.hpp"

namespace SocketWriter = AgentWire::SocketWriter;

namespace {

// A connected pair of stream sockets, closed at the end of the test.
struct SocketPair {
    int ours = -1, theirs = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~SocketPair() {
        if (ours >= 0) ::close(ours);
        if (theirs >= 0) ::close(theirs);
    }
    std::string readAll(size_t count) const {
        std::string out;
        char chunk[65536];
        while (out.size() < count) {
            ssize_t n = ::read(theirs, chunk, sizeof chunk);
            if (n <= 0) break;
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }
};

// A write that replays scripted results, recording the sizes it was asked to write.
struct ScriptedWrite {
    struct Step {
        ssize_t result;
        int error;
    };
    std::vector<Step> steps;
    std::vector<size_t> asked;
    SocketWriter::WriteFunction function() {
        return [this](int, const char*, size_t count) -> ssize_t {
            asked.push_back(count);
            if (asked.size() > steps.size()) return static_cast<ssize_t>(count);
            Step step = steps[asked.size() - 1];
            errno = step.error;
            return step.result;
        };
    }
};

}  // namespace

TEST(SocketWriter, WriteAllFollowsEachWriteResult) {
    struct Case {
        const char* name;
        std::vector<ScriptedWrite::Step> steps;
        bool written;
        std::vector<size_t> asked;
        double seconds = 5.0;
    };
    const std::vector<Case> cases = {
        {"empty data never writes", {}, true, {}},
        {"interrupted write is repeated", {{-1, EINTR}, {10, 0}}, true, {10, 10}},
        {"partial writes continue with the rest", {{4, 0}, {6, 0}}, true, {10, 6}},
        {"zero bytes written fails", {{0, 0}}, false, {10}},
        {"send timeout fails", {{3, 0}, {-1, EAGAIN}}, false, {10, 7}},
        {"broken pipe fails", {{-1, EPIPE}}, false, {10}},
        {"deadline passed between partial writes", {{1, 0}, {1, 0}}, false, {10}, 0.0},
    };
    for (const auto& c : cases) {
        ScriptedWrite write{c.steps, {}};
        std::string data = c.asked.empty() ? "" : "0123456789";
        errno = 0;
        EXPECT_EQ(SocketWriter::writeAll(3, data, c.seconds, write.function()), c.written) << c.name;
        EXPECT_EQ(write.asked, c.asked) << c.name;
    }
    ScriptedWrite failing{{{-1, EPIPE}}, {}};
    SocketWriter::writeAll(3, "x", 5.0, failing.function());
    EXPECT_EQ(errno, EPIPE);
}

TEST(SocketWriter, SetSendTimeoutSetsSecondsAndMicroseconds) {
    SocketPair pair;
    ASSERT_TRUE(SocketWriter::setSendTimeout(pair.ours, 2.25));
    timeval value{};
    socklen_t length = sizeof value;
    ASSERT_EQ(::getsockopt(pair.ours, SOL_SOCKET, SO_SNDTIMEO, &value, &length), 0);
    EXPECT_EQ(value.tv_sec, 2);
    EXPECT_NEAR(static_cast<double>(value.tv_usec), 250000.0, 4000.0);  // kernels round to their tick
    EXPECT_FALSE(SocketWriter::setSendTimeout(-1, 1.0));
}

TEST(SocketWriter, WriteBeforeGivesUpAtTheDeadlineWhenNobodyReads) {
    SocketPair pair;
    std::string data(8 << 20, 'b');  // far more than the socket buffers hold
    auto start = std::chrono::steady_clock::now();
    auto status = SocketWriter::writeBefore(pair.ours, data, start + std::chrono::milliseconds(150));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, SocketWriter::WriteStatus::timedOut);
    EXPECT_GE(took, std::chrono::milliseconds(140));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(SocketWriter, BothWritesDeliverEveryByteWhileThePeerReads) {
    std::string data(5'000'000, 'c');
    for (bool before : {false, true}) {
        SocketPair pair;
        std::string got;
        std::thread reader([&] { got = pair.readAll(data.size()); });
        EXPECT_TRUE(before ? SocketWriter::writeBefore(pair.ours, data, std::chrono::steady_clock::now() + std::chrono::seconds(30)) ==
                                 SocketWriter::WriteStatus::written
                           : SocketWriter::writeAll(pair.ours, data, 30.0))
            << before;
        reader.join();
        EXPECT_TRUE(got == data) << before;
    }
}

TEST(SocketWriter, WritingToAVanishedPeerFailsWithoutASignal) {
    // SIGPIPE keeps its default action here: a signal would end the test binary. macOS gets
    // the same send flags, and no help from SO_NOSIGPIPE on this socket either.
    SocketPair pair;
    ::close(pair.theirs);
    pair.theirs = -1;
    EXPECT_EQ(SocketWriter::writeBefore(pair.ours, "x\n", std::chrono::steady_clock::now() + std::chrono::seconds(1)),
              SocketWriter::WriteStatus::failed);
    EXPECT_FALSE(SocketWriter::writeAll(pair.ours, "x\n", 1.0));
}
