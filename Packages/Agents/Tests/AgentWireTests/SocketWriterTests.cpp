#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/SocketWriter.hpp"

namespace SocketWriter = AgentWire::SocketWriter;

namespace {

// A connected pair of stream sockets, closed at the end of the test.
struct SocketPair {
    AgentWire::FileDescriptor ours, theirs;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) ours.reset(fds[0]), theirs.reset(fds[1]);
    }
    std::string readAll(size_t count) const {
        std::string out;
        char chunk[65536];
        while (out.size() < count) {
            ssize_t n = ::read(theirs.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }
};

}  // namespace

TEST(SocketWriter, WriteAllStopsAtTheDeadlineBetweenPartialWrites) {
    int calls = 0;
    auto oneByte = [&calls](int, const char*, size_t) -> ssize_t { return ++calls, 1; };
    EXPECT_FALSE(SocketWriter::writeAll(3, "0123456789", 0.0, oneByte));
    EXPECT_EQ(calls, 1);
}

TEST(SocketWriter, WriteBeforeGivesUpAtTheDeadlineWhenNobodyReads) {
    SocketPair pair;
    std::string data(8 << 20, 'b');  // far more than the socket buffers hold
    auto start = std::chrono::steady_clock::now();
    auto status = SocketWriter::writeBefore(pair.ours.get(), data, start + std::chrono::milliseconds(150));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, SocketWriter::WriteStatus::timedOut);
    EXPECT_GE(took, std::chrono::milliseconds(140));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(SocketWriter, WriteBeforeDeliversEveryByteWhileThePeerReads) {
    std::string data(5'000'000, 'c');
    SocketPair pair;
    std::string got;
    std::thread reader([&] { got = pair.readAll(data.size()); });
    auto status = SocketWriter::writeBefore(pair.ours.get(), data, std::chrono::steady_clock::now() + std::chrono::seconds(30));
    reader.join();
    EXPECT_EQ(status, SocketWriter::WriteStatus::written);
    EXPECT_TRUE(got == data);
}

TEST(SocketWriter, WritingToAVanishedPeerFailsWithoutASignal) {
    // SIGPIPE keeps its default action here: a signal would end the test binary. macOS gets
    // the same send flags, and no help from SO_NOSIGPIPE on this socket either.
    SocketPair pair;
    pair.theirs.reset();
    EXPECT_EQ(SocketWriter::writeBefore(pair.ours.get(), "x\n", std::chrono::steady_clock::now() + std::chrono::seconds(1)),
              SocketWriter::WriteStatus::failed);
    EXPECT_FALSE(SocketWriter::writeAll(pair.ours.get(), "x\n", 1.0));
}
