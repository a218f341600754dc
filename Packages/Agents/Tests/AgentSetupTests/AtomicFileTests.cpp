#include "AgentSetup/AtomicFile.hpp"
#include "TestSupport/TempDir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

using namespace AgentSetup;
using TestSupport::readFile;
using TestSupport::writeFile;
namespace fs = std::filesystem;
using Failure = AtomicFile::Failure;
using Copied = std::variant<std::string, Failure>;

namespace {

// 2026-12-06 08:31:40 UTC.
const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1796545900));

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string temporaryName(const std::string& name) { return "." + name + ".bosken-" + std::to_string(::getpid()); }

class AtomicFileTest : public TestSupport::TempDirTest {
protected:
    void SetUp() override { oldMask = ::umask(022); }
    void TearDown() override { ::umask(oldMask); }
    mode_t oldMask = 0;
};

}  // namespace

// MARK: - write

// A new file (in folders made for it) is private; a replaced one keeps only its permission bits.
TEST_F(AtomicFileTest, WriteMakesAPrivateFileOrKeepsThePermissionBits) {
    struct Case { std::string file; std::optional<unsigned> before; unsigned after; std::string contents; };
    for (const Case& c : {Case{"a/b/config.toml", std::nullopt, 0600, "x = 1\n"}, Case{"file", 04755, 0755, "new"},
                          Case{"file", 0600, 0600, ""}}) {
        if (c.before) writeFile(path(c.file), "old contents that are longer");
        if (c.before) { ASSERT_EQ(::chmod(path(c.file).c_str(), *c.before), 0); }
        EXPECT_EQ(AtomicFile::write(c.contents, path(c.file)), std::nullopt);
        EXPECT_EQ(readFile(path(c.file)), c.contents);
        EXPECT_EQ(modeOf(path(c.file)), c.after) << c.file << " " << std::oct << c.before.value_or(0);
    }
    EXPECT_EQ(entries(path("a/b")), std::vector<std::string>{"config.toml"});
}

TEST_F(AtomicFileTest, WriteGoesThroughSymbolicLinksAndKeepsThem) {
    writeFile(path("dotfiles/codex/config.toml"), "old");
    fs::create_directories(path("home/.codex"));
    fs::create_symlink("../../dotfiles/codex", path("home/.codex/linked"));
    fs::create_symlink("linked/config.toml", path("home/.codex/config.toml"));
    EXPECT_EQ(AtomicFile::write("new", path("home/.codex/config.toml")), std::nullopt);
    EXPECT_EQ(fs::read_symlink(path("home/.codex/config.toml")), "linked/config.toml");
    EXPECT_EQ(readFile(path("dotfiles/codex/config.toml")), "new");
    EXPECT_EQ(entries(path("dotfiles/codex")), std::vector<std::string>{"config.toml"});

    // A dangling link: the file it names is created.
    fs::create_symlink(path("real/missing/config.json"), path("config.json"));
    EXPECT_EQ(AtomicFile::write("{}", path("config.json")), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(path("config.json")));
    EXPECT_EQ(readFile(path("real/missing/config.json")), "{}");
}

TEST_F(AtomicFileTest, WriteNeverFollowsALinkPlantedAtTheTemporaryName) {
    writeFile(path("victim"), "keep me");
    writeFile(path("config.toml"), "old");
    fs::create_symlink(path("victim"), path(temporaryName("config.toml")));
    EXPECT_EQ(AtomicFile::write("new", path("config.toml")), std::nullopt);
    EXPECT_EQ(readFile(path("victim")), "keep me");
    EXPECT_EQ(readFile(path("config.toml")), "new");
    EXPECT_EQ(entries(dir.path().string()), (std::vector<std::string>{"config.toml", "victim"}));
}

TEST_F(AtomicFileTest, WriteIntoALinkLoopFolderOrUnmakeableFolderFailsAndLeavesNoTemporaryFile) {
    fs::create_symlink(path("b"), path("a"));
    fs::create_symlink(path("a"), path("b"));
    EXPECT_EQ(AtomicFile::write("x", path("a")), Failure{std::strerror(ELOOP)});
    EXPECT_TRUE(fs::is_symlink(path("a")));

    fs::create_directories(path("config.json"));
    EXPECT_TRUE(AtomicFile::write("x", path("config.json")));
    writeFile(path("plain"), "a file, not a folder");
    const auto failure = AtomicFile::write("x", path("plain/sub/config.json"));
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->reason.starts_with("couldn't create the folder " + path("plain/sub") + ": ")) << failure->reason;
    EXPECT_EQ(entries(dir.path().string()), (std::vector<std::string>{"a", "b", "config.json", "plain"}));
}

// Failures the real disk rarely gives, through the injected system; then short and interrupted
// writes that must still write everything.
TEST_F(AtomicFileTest, WriteFailuresRemoveTheTemporaryFileAndKeepTheTarget) {
    const std::string target = path("config.json");
    AtomicFile::System system = AtomicFile::System::live();
    writeFile(target, "old");
    struct Case { std::string name; std::function<void(AtomicFile::System&)> breakIt; std::string reason; };
    const std::vector<Case> cases{
        {"write fails", [](auto& s) { s.write = [](int, const char*, unsigned long) -> long { return -ENOSPC; }; },
         std::strerror(ENOSPC)},
        {"write makes no progress", [](auto& s) { s.write = [](int, const char*, unsigned long) -> long { return 0; }; },
         "nothing more could be written"},
        {"fsync fails", [](auto& s) { s.fsync = [](int) { return -EIO; }; }, std::strerror(EIO)},
        {"rename fails", [](auto& s) { s.rename = [](const std::string&, const std::string&) { return -EXDEV; }; },
         std::strerror(EXDEV)},
    };
    for (const auto& c : cases) {
        AtomicFile::System broken = system;
        c.breakIt(broken);
        EXPECT_EQ(AtomicFile::write("new", target, broken), Failure{c.reason}) << c.name;
        EXPECT_EQ(readFile(target), "old") << c.name;
        EXPECT_EQ(entries(dir.path().string()), std::vector<std::string>{"config.json"}) << c.name;
    }
    int calls = 0;
    system.write = [&calls, live = system.write](int fd, const char* bytes, unsigned long count) -> long {
        return ++calls % 2 == 1 ? -EINTR : live(fd, bytes, std::min(count, 3ul));
    };
    EXPECT_EQ(AtomicFile::write("0123456789", target, system), std::nullopt);
    EXPECT_EQ(readFile(target), "0123456789");
}

// MARK: - backupURL

TEST_F(AtomicFileTest, BackupNameUsesLocalTime) {
    std::optional<std::string> saved;
    if (const char* zone = std::getenv("TZ")) saved = zone;
    const auto backupIn = [this](const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        return AtomicFile::backupURL(path("config.toml"), kNow);
    };
    const std::string utc = backupIn("UTC"), india = backupIn("Asia/Kolkata");  // +05:30, no daylight saving
    saved ? ::setenv("TZ", saved->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();

    EXPECT_EQ(utc, path("config.toml.bosken-backup-20261206-083140"));
    if (fs::exists("/usr/share/zoneinfo/Asia/Kolkata")) {
        EXPECT_EQ(india, path("config.toml.bosken-backup-20261206-140140"));
    }
}

TEST_F(AtomicFileTest, BackupNameIsBesideTheFileBehindALinkAndSkipsTakenNames) {
    AtomicFile::System system = AtomicFile::System::live();
    system.localStamp = [](auto) { return std::string("20261206-083140"); };
    writeFile(path("dotfiles/settings.json"), "{}");
    fs::create_symlink(path("dotfiles/settings.json"), path("link.json"));
    const std::string base = path("dotfiles/settings.json.bosken-backup-20261206-083140");
    EXPECT_EQ(AtomicFile::backupURL(path("link.json"), kNow, system), base);
    writeFile(base, "");
    EXPECT_EQ(AtomicFile::backupURL(path("link.json"), kNow, system), base + "-2");
    fs::create_symlink(path("nowhere"), base + "-2");  // a dangling link takes the name too
    EXPECT_EQ(AtomicFile::backupURL(path("link.json"), kNow, system), base + "-3");
}

// MARK: - copy

TEST_F(AtomicFileTest, CopyMakesAnEqualFileWithTheSameModeAndNeverWaitsOnAFIFO) {
    const std::string contents = std::string(300000, 'x') + "end";
    writeFile(path("real/settings.json"), contents);
    ASSERT_EQ(::chmod(path("real/settings.json").c_str(), 0600), 0);
    fs::create_symlink(path("real/settings.json"), path("settings.json"));

    EXPECT_EQ(AtomicFile::copy(path("settings.json"), path("real/backup")), Copied(path("real/backup")));
    EXPECT_FALSE(fs::is_symlink(path("real/backup")));
    EXPECT_EQ(readFile(path("real/backup")), contents);
    EXPECT_EQ(modeOf(path("real/backup")), 0600u);
    EXPECT_EQ(entries(path("real")), (std::vector<std::string>{"backup", "settings.json"}));

    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(AtomicFile::copy(path("fifo"), path("fifo backup")), Copied(path("fifo backup")));  // never waiting for a writer
    EXPECT_EQ(readFile(path("fifo backup")), "");
}

// A name taken since it was chosen (a file, a link, a folder) is never replaced: the backup takes
// the next free number after the base name's.
TEST_F(AtomicFileTest, CopyMovesToTheNextFreeNameAndNeverReplacesOne) {
    writeFile(path("config"), "12345");
    const std::string base = path("config.bosken-backup-20261206-083140");
    writeFile(base, "earlier backup");
    fs::create_symlink(path("elsewhere"), base + "-2");
    EXPECT_EQ(AtomicFile::copy(path("config"), base), Copied(base + "-3"));
    fs::create_directories(base + "-4");
    EXPECT_EQ(AtomicFile::copy(path("config"), base + "-3"), Copied(base + "-5"));
    writeFile(path("plain"), "taken");
    EXPECT_EQ(AtomicFile::copy(path("config"), path("plain")), Copied(path("plain-2")));

    EXPECT_EQ(readFile(base), "earlier backup");
    EXPECT_FALSE(fs::exists(path("elsewhere")));
    EXPECT_EQ(readFile(path("plain")), "taken");
    for (const auto& made : {base + "-3", base + "-5", path("plain-2")}) EXPECT_EQ(readFile(made), "12345") << made;
    EXPECT_EQ(entries(dir.path().string()).size(), 8u) << "a temporary file is left";
}

// Every failure leaves the original as it was and nothing under a backup name or the temporary one.
TEST_F(AtomicFileTest, FailedCopiesLeaveNoBackupAndNoTemporaryFile) {
    writeFile(path("config"), "12345");
    struct Case { std::string source; std::function<void(AtomicFile::System&)> breakIt; std::string reason; };
    const std::vector<Case> cases{
        {"missing", {}, "couldn't read " + path("missing") + ": " + std::strerror(ENOENT)},
        {"config", [](auto& s) { s.read = [](int, char*, unsigned long) -> long { return -EIO; }; },
         "couldn't read " + path("config") + ": " + std::strerror(EIO)},
        {"config",
         [](auto& s) {
             // Half of it written, then the disk is full.
             s.write = [live = s.write](int fd, const char* bytes, unsigned long count) -> long {
                 return count > 2 ? live(fd, bytes, 2) : -ENOSPC;
             };
         },
         "couldn't write " + path("backup") + ": " + std::strerror(ENOSPC)},
        {"config", [](auto& s) { s.fsync = [](int) { return -EIO; }; },
         "couldn't write " + path("backup") + ": " + std::strerror(EIO)},
        {"config",  // the copy's size, read back, is one short
         [temporary = path(temporaryName("config"))](auto& s) {
             s.fileSize = [temporary, live = s.fileSize](const std::string& p) { return p == temporary ? 4ull : live(p); };
         },
         "the copy at " + path("backup") + " isn't the same size as the original"},
        {"config", [](auto& s) { s.renameNoReplace = [](const std::string&, const std::string&) { return -EXDEV; }; },
         "couldn't create " + path("backup") + ": " + std::strerror(EXDEV)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        AtomicFile::System system = AtomicFile::System::live();
        if (c.breakIt) c.breakIt(system);
        EXPECT_EQ(AtomicFile::copy(path(c.source), path("backup"), system), Copied(Failure{c.reason}));
        EXPECT_EQ(readFile(path("config")), "12345");
        EXPECT_EQ(entries(dir.path().string()), std::vector<std::string>{"config"});
    }
}

// MARK: - removeStaleTemporaries

TEST_F(AtomicFileTest, OnlyTemporaryFilesOfThisUserWhoseProcessIsGoneAreRemoved) {
    writeFile(path("config.json"), "{}");
    writeFile(path("victim"), "keep me");
    const std::string own = std::to_string(::getpid());
    const std::vector<std::string> removed = {".config.json.bosken-111", ".config.json.bosken-999999999"};
    std::vector<std::string> kept = {
        ".config.json.bosken-222",  // its process runs
        ".config.json.bosken-" + own,
        ".config.json.bosken-0111", ".config.json.bosken-1x", ".config.json.bosken-", ".config.json.bosken-1234567890",
        ".other.json.bosken-111", "config.json.bosken-111", ".config.json.bosken-backup-111",
    };
    for (const auto& name : removed) writeFile(path(name), "stale");
    for (const auto& name : kept) writeFile(path(name), "not ours to remove");
    fs::create_symlink(path("victim"), path(".config.json.bosken-333"));
    fs::create_directories(path(".config.json.bosken-444"));
    kept.insert(kept.end(), {".config.json.bosken-333", ".config.json.bosken-444"});
    if (::geteuid() == 0) {
        writeFile(path(".config.json.bosken-555"), "another user's");
        ASSERT_EQ(::chown(path(".config.json.bosken-555").c_str(), 65534, 65534), 0);
        kept.push_back(".config.json.bosken-555");
    }

    AtomicFile::System system = AtomicFile::System::live();
    system.processExists = [](long id) { return id == 222; };
    AtomicFile::removeStaleTemporaries(path("config.json"), system);
    kept.insert(kept.end(), {"config.json", "victim"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(dir.path().string()), kept);
    EXPECT_EQ(readFile(path("victim")), "keep me");
}
