#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/POSIX.hpp"
#include "TestSupport/TempDir.hpp"

namespace POSIX = AgentWire::POSIX;
using AgentWire::FileDescriptor;

TEST(POSIX, WriteAllFollowsEachWriteResult) {
    // steps: {count, 0} or {-1, errno}, then all that is asked is written.
    struct Case { const char* name; std::vector<std::pair<ssize_t, int>> steps; bool goOn; int result; std::vector<size_t> asked; };
    const Case cases[] = {
        {"interrupted write is repeated", {{-1, EINTR}, {10, 0}}, true, 0, {10, 10}},
        {"partial writes continue with the rest", {{4, 0}, {6, 0}}, true, 0, {10, 6}},
        {"a failed write gives its errno", {{3, 0}, {-1, EPIPE}}, true, EPIPE, {10, 7}},
        {"a write of nothing stops", {{0, 0}}, true, POSIX::stopped, {10}},
        {"told to stop between partial writes", {{1, 0}}, false, POSIX::stopped, {10}},
    };
    for (const auto& c : cases) {
        std::vector<size_t> asked;
        auto write = [&](int, const char*, size_t count) -> ssize_t {
            asked.push_back(count);
            if (asked.size() > c.steps.size()) return static_cast<ssize_t>(count);
            errno = c.steps[asked.size() - 1].second;
            return c.steps[asked.size() - 1].first;
        };
        EXPECT_EQ(POSIX::writeAll(3, "0123456789", write, [&] { return c.goOn; }), c.result) << c.name;
        EXPECT_EQ(asked, c.asked) << c.name;
    }
}

TEST(POSIX, HomeIsANonEmptyHOMEElseTheUserDatabaseAndOwnPathIsThisProgram) {
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(POSIX::homeDirectory({{"HOME", "/Users/me"}}), "/Users/me");
    EXPECT_EQ(POSIX::homeDirectory({{"HOME", ""}}), std::string(entry->pw_dir));
    EXPECT_EQ(POSIX::homeDirectory({}), std::string(entry->pw_dir));
    EXPECT_EQ(std::filesystem::path(POSIX::executablePath().value_or("")).filename(), "AgentWireTests");
}

TEST(POSIX, ReadFileReadsOnlyRegularFilesUpToTheLimit) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "file", "abc");
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    using Failure = POSIX::ReadFailure;
    const std::tuple<std::string, size_t, std::variant<std::string, Failure>> cases[] = {
        {dir / "file", 3, "abc"},
        {dir / "file", 2, Failure{Failure::Kind::tooLarge}},
        {dir / "missing", 3, Failure{Failure::Kind::open, ENOENT}},
        {dir / "folder", 3, Failure{Failure::Kind::notRegular}},
        {dir / "fifo", 3, Failure{Failure::Kind::notRegular}},  // never waits for a writer
        {"/dev/null", 3, Failure{Failure::Kind::notRegular}},   // would read as empty
    };
    for (const auto& [path, limit, expected] : cases) {
        auto file = POSIX::readFile(path, limit);
        auto* contents = std::get_if<POSIX::FileContents>(&file);
        EXPECT_TRUE(contents ? expected == decltype(expected)(contents->bytes)
                             : expected == decltype(expected)(std::get<Failure>(file)))
            << path << " limit " << limit;
    }
}

TEST(POSIX, FileDescriptorClosesOnceAndReleaseKeepsItOpen) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        FileDescriptor first(fds[0]);
        FileDescriptor moved(std::move(first));  // the moved-from one closes nothing
        FileDescriptor kept(fds[1]);
        EXPECT_EQ(kept.release(), fds[1]);
    }
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);
    ::close(fds[1]);
}

TEST(POSIX, MillisecondsUntilRoundsUpAndClamps) {
    auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(POSIX::millisecondsUntil(now - std::chrono::seconds(1)), 0);
    EXPECT_EQ(POSIX::millisecondsUntil(std::chrono::steady_clock::time_point::max()), INT_MAX);
    // Rounded down, a wait of that long would end before the deadline.
    auto deadline = now + std::chrono::microseconds(100'900);
    int wait = POSIX::millisecondsUntil(deadline);
    EXPECT_GE(std::chrono::steady_clock::now() + std::chrono::milliseconds(wait), deadline);
}
