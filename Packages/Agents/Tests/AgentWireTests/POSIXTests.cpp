#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/POSIX.hpp"
#include "TestSupport/TempDir.hpp"

namespace POSIX = AgentWire::POSIX;
using AgentWire::FileDescriptor;

namespace {

// A write that replays scripted results ({count} or {-1, errno}), then writes whatever it is
// asked; records the sizes asked for.
struct ScriptedWrite {
    std::vector<std::pair<ssize_t, int>> steps;
    std::vector<size_t> asked;
    POSIX::WriteFunction function() {
        return [this](int, const char*, size_t count) -> ssize_t {
            asked.push_back(count);
            if (asked.size() > steps.size()) return static_cast<ssize_t>(count);
            errno = steps[asked.size() - 1].second;
            return steps[asked.size() - 1].first;
        };
    }
};

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(POSIX, WriteAllFollowsEachWriteResult) {
    struct Case {
        const char* name;
        std::vector<std::pair<ssize_t, int>> steps;
        bool goOn;
        int result;
        std::vector<size_t> asked;
    };
    const Case cases[] = {
        {"interrupted write is repeated", {{-1, EINTR}, {10, 0}}, true, 0, {10, 10}},
        {"partial writes continue with the rest", {{4, 0}, {6, 0}}, true, 0, {10, 6}},
        {"a failed write gives its errno", {{3, 0}, {-1, EPIPE}}, true, EPIPE, {10, 7}},
        {"a write of nothing stops", {{0, 0}}, true, POSIX::stopped, {10}},
        {"told to stop between partial writes", {{1, 0}}, false, POSIX::stopped, {10}},
    };
    for (const auto& c : cases) {
        ScriptedWrite write{c.steps, {}};
        EXPECT_EQ(POSIX::writeAll(3, "0123456789", write.function(), [&] { return c.goOn; }), c.result) << c.name;
        EXPECT_EQ(write.asked, c.asked) << c.name;
    }
}

TEST(POSIX, HomeDirectoryIsANonEmptyHOMEElseTheUserDatabase) {
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const std::string database = entry->pw_dir;
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"HOME", "/Users/me"}}, "/Users/me"},
        {{{"HOME", ""}}, database},
        {{}, database},
    };
    for (const auto& [environment, home] : cases) EXPECT_EQ(POSIX::homeDirectory(environment), home) << home;
}

TEST(POSIX, ExecutablePathIsThisTestProgram) {
    auto own = POSIX::executablePath();
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(std::filesystem::path(*own).filename(), "AgentWireTests");
}

TEST(POSIX, ReadFileReadsOnlyRegularFilesUpToTheLimit) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "file", "abc");
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    using Kind = POSIX::ReadFailure::Kind;
    struct Case {
        std::string path;
        size_t limit;
        std::variant<std::string, POSIX::ReadFailure> expected;
    };
    const Case cases[] = {
        {dir / "file", 3, "abc"},
        {dir / "file", 2, POSIX::ReadFailure{Kind::tooLarge}},
        {dir / "missing", 3, POSIX::ReadFailure{Kind::open, ENOENT}},
        {dir / "file/below", 3, POSIX::ReadFailure{Kind::open, ENOTDIR}},
        {dir / "folder", 3, POSIX::ReadFailure{Kind::notRegular}},
        {dir / "fifo", 3, POSIX::ReadFailure{Kind::notRegular}},  // never waits for a writer
        {"/dev/null", 3, POSIX::ReadFailure{Kind::notRegular}},   // reads as empty if let through
    };
    for (const auto& c : cases) {
        auto file = POSIX::readFile(c.path, c.limit);
        std::variant<std::string, POSIX::ReadFailure> got;
        if (auto* contents = std::get_if<POSIX::FileContents>(&file)) got = contents->bytes;
        else got = std::get<POSIX::ReadFailure>(file);
        EXPECT_TRUE(got == c.expected) << c.path << " limit " << c.limit;
    }
}

TEST(POSIX, FileDescriptorClosesOnceAndReleaseKeepsItOpen) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        FileDescriptor first(fds[0]);
        FileDescriptor moved(std::move(first));
        EXPECT_FALSE(first);
        FileDescriptor kept(fds[1]);
        EXPECT_EQ(kept.release(), fds[1]);
        EXPECT_FALSE(kept);
    }
    EXPECT_FALSE(isOpen(fds[0]));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(isOpen(fds[1]));
    FileDescriptor reused(fds[1]);
    reused.reset();
    EXPECT_FALSE(isOpen(fds[1]));
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
