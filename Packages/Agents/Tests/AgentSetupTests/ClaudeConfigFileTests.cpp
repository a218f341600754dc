#include "AgentSetup/ClaudeConfigFile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestSupport/TempDir.hpp"

using AgentSetup::ClaudeConfigFile;
using AgentSetup::ClaudeSetupError;
using Server = ClaudeConfigFile::Server;

namespace {

constexpr const char* helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

// The whole file a fresh registration of `helper` writes.
const std::string freshFile = R"({
  "mcpServers" : {
    "bosken" : {
      "type" : "stdio",
      "command" : "/Applications/Bosken.app/Contents/Helpers/bosken-mcp",
      "args" : [],
      "env" : {}
    }
  }
})";

using Found = std::variant<std::optional<Server>, ClaudeSetupError>;

class ClaudeConfigFileTest : public TestSupport::TempDirTest {
protected:
    std::string settings = path(".claude.json");
    ClaudeConfigFile file{settings};
};

TEST_F(ClaudeConfigFileTest, MissingOrBlankFileIsAnEmptyDocumentAndGetsCreated) {
    for (const char* contents : std::initializer_list<const char*>{nullptr, "", " \t\r\n \n"}) {
        std::filesystem::remove(settings);
        if (contents) TestSupport::writeFile(settings, contents);
        EXPECT_EQ(file.server("bosken"), Found(std::nullopt));

        ASSERT_EQ(file.setServer("bosken", helper), std::nullopt);
        EXPECT_EQ(TestSupport::readFile(settings), freshFile);
        EXPECT_EQ(file.server("bosken"), Found(Server{helper, {}}));
    }
}

TEST_F(ClaudeConfigFileTest, FileThatIsNotAJSONObjectIsReportedAndNeverReplaced) {
    for (const std::string contents : {"{", "[]", "// settings\n{}"}) {
        TestSupport::writeFile(settings, contents);
        EXPECT_EQ(file.server("bosken"), Found(ClaudeSetupError::unreadableConfig(settings))) << contents;
        EXPECT_EQ(file.setServer("bosken", helper), ClaudeSetupError::unreadableConfig(settings));
        EXPECT_EQ(TestSupport::readFile(settings), contents);
    }
}

TEST_F(ClaudeConfigFileTest, SomethingThatCannotBeReadIsNotMistakenForAMissingFile) {
    // A directory stands in for an unreadable file (tests may run as root, where modes don't bite).
    std::filesystem::create_directories(settings + "/inside");
    EXPECT_EQ(std::get<ClaudeSetupError>(file.read()), ClaudeSetupError::unreadableConfig(settings));
    EXPECT_EQ(file.setServer("bosken", helper), ClaudeSetupError::unreadableConfig(settings));
    EXPECT_TRUE(std::filesystem::is_directory(settings + "/inside"));

    // So does a FIFO, which must not block the read either.
    const std::string fifo = path("fifo.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(std::get<ClaudeSetupError>(ClaudeConfigFile(fifo).read()), ClaudeSetupError::unreadableConfig(fifo));
}

// Files that hand out `contents` and `stampNow`, and record every write, answering it with `failure`.
struct FakeFiles {
    ClaudeConfigFile::Files::Contents contents;
    std::string stampNow;
    std::optional<AgentSetup::AtomicFile::Failure> failure;
    std::vector<std::string> written;

    ClaudeConfigFile::Files files() {
        return {.read = [this](const std::string&) { return contents; },
                .write = [this](const std::string&, const std::string& path) { written.push_back(path); return failure; },
                .stamp = [this](const std::string&) { return stampNow; }};
    }
};

TEST(ClaudeConfigFileFaults, FailedWritesAreReportedAndUnreadableOrChangedFilesNeverWritten) {
    using Kind = ClaudeConfigFile::Files::Contents::Kind;
    struct Case { FakeFiles fake; ClaudeSetupError expected; bool written; };
    Case cases[] = {
        {{{Kind::read, R"({"a": 1})", "v1"}, "v1", {{"no space left on device"}}, {}},
         ClaudeSetupError::writeFailed("no space left on device"), true},
        {{{Kind::unreadable, {}, {}}, "", std::nullopt, {}}, ClaudeSetupError::unreadableConfig("~/.claude.json"), false},
        {{{Kind::missing, {}, {}}, "v1", std::nullopt, {}}, ClaudeSetupError::notApplied(), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(ClaudeConfigFile("~/.claude.json", c.fake.files()).setServer("bosken", helper), c.expected);
        EXPECT_EQ(c.fake.written, c.written ? std::vector<std::string>{"~/.claude.json"} : std::vector<std::string>{});
    }
}

// Claude Code rewrites its settings while it runs: a version other than the one read is never
// replaced, or its change would be lost.
TEST_F(ClaudeConfigFileTest, SettingsChangedWhileWorkingAreLeftToTheOtherWriter) {
    TestSupport::writeFile(settings, R"({"theme": "dark"})");
    auto files = ClaudeConfigFile::Files::live();
    files.stamp = [&, live = files.stamp](const std::string& path) {
        TestSupport::writeFile(settings, R"({"theme": "light", "numStartups": 2})");
        return live(path);
    };
    EXPECT_EQ(ClaudeConfigFile(settings, files).setServer("bosken", helper), ClaudeSetupError::notApplied());
    EXPECT_EQ(TestSupport::readFile(settings), R"({"theme": "light", "numStartups": 2})");
}

}  // namespace
