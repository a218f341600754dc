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

}  // namespace

TEST(SocketWriter, WriteAllStopsAtTheDeadlineBetweenPartialWritesAndKeepsTheErrno) {
    int calls = 0;
    auto oneByte = [&calls](int, const char*, size_t) -> ssize_t { return ++calls, 1; };
    EXPECT_FALSE(SocketWriter::writeAll(3, "0123456789", 0.0, oneByte));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(SocketWriter::writeAll(3, "x", 5.0, [](int, const char*, size_t) -> ssize_t { return errno = EPIPE, -1; }));
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
