#include "AgentSetup/ClaudeCodeSetup.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include "AgentSetup/ClaudeConfigFile.hpp"
#include "TestSupport/TempDir.hpp"

using AgentSetup::ClaudeCodeSetup;
using AgentSetup::ClaudeConfigFile;
using AgentSetup::CommandRunner;
using AgentWire::JSON;
using Outcome = ClaudeCodeSetup::Outcome;
using Method = ClaudeCodeSetup::Method;
using SetupError = ClaudeCodeSetup::SetupError;
using Status = ClaudeCodeSetup::Status;
using Installed = std::variant<Outcome, SetupError>;

namespace {

constexpr const char* appHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

TEST(ClaudeCodeSetupLocations, SettingsFileFollowsClaudeConfigDirWhenSet) {
    const std::pair<ClaudeCodeSetup::Environment, std::string> cases[] = {
        {{}, "/Users/ann/.claude.json"}, {{{"CLAUDE_CONFIG_DIR", ""}}, "/Users/ann/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", "~/cc"}}, "~/cc/.claude.json"},  // taken as written: no tilde expansion
    };
    for (const auto& [environment, expected] : cases) EXPECT_EQ(ClaudeCodeSetup::configURL(environment, "/Users/ann"), expected) << expected;
}

TEST(ClaudeCodeSetupLocations, OnlyAppBundleHelpersOutsideVolumesAndTranslocationAreInstalled) {
    const std::pair<std::string, bool> cases[] = {
        {appHelper, true}, {"/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"/private/var/folders/xy/T/AppTranslocation/1234/d/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"Bosken.app/Contents/Helpers/bosken-mcp", false}, {"/Applications/Bosken.app/Contents/MacOS/bosken-mcp", false},
    };
    for (const auto& [path, installed] : cases) EXPECT_EQ(ClaudeCodeSetup::isInstalled(path), installed) << path;
}

TEST(ClaudeCodeSetupQuoting, QuotesOnlyWhatAShellWouldSplitOrExpand) {
    const std::pair<std::string, std::string> cases[] = {
        {"a-b_c.d+e/9", "a-b_c.d+e/9"}, {"/My Apps/x", "'/My Apps/x'"}, {"/it's/x", "'/it'\\''s/x'"},
        {"$HOME", "'$HOME'"}, {"~/x", "'~/x'"},
        // Letters, marks and digits of any script stay bare.
        {"/B\xC3\xBCro/e\xCC\x81/\xD9\xA3\xD9\xA4", "/B\xC3\xBCro/e\xCC\x81/\xD9\xA3\xD9\xA4"},
        // Symbols, spaces of other scripts and broken UTF-8 are quoted.
        {"/a\xE2\x80\x83x", "'/a\xE2\x80\x83x'"}, {"/\xF0\x9F\x98\x80", "'/\xF0\x9F\x98\x80'"}, {"/a\xFF", "'/a\xFF'"},
    };
    for (const auto& [text, quoted] : cases) EXPECT_EQ(ClaudeCodeSetup::shellQuoted(text), quoted) << text;
}

// A `claude` stand-in that records the arguments of every run and answers through `respond`.
class ClaudeCodeSetupTest : public TestSupport::TempDirTest {
protected:
    std::string settings = path("home/.claude.json");
    std::vector<std::vector<std::string>> calls;
    std::function<CommandRunner::Result(const std::vector<std::string>&)> respond = [](const auto&) { return CommandRunner::Result{0, ""}; };

    ClaudeCodeSetup setup(std::optional<std::string> claude) {
        CommandRunner runner{[this](const auto&, const auto& arguments, const auto&) {
            calls.push_back(arguments);
            return respond(arguments);
        }};
        return ClaudeCodeSetup(ClaudeConfigFile(settings), std::move(claude), {}, runner);
    }
};

TEST_F(ClaudeCodeSetupTest, RefusedFailedAndUnconfirmedRunsAreReported) {
    const std::string onDiskImage = "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp";
    EXPECT_EQ(setup("/bin/claude").install(onDiskImage), Installed(SetupError::notInstalled(onDiskImage)));
    EXPECT_TRUE(calls.empty());

    respond = [](const auto&) { return CommandRunner::Result{1, "boom"}; };
    EXPECT_EQ(setup("/bin/claude").install(appHelper), Installed(SetupError::claudeFailed("boom")));

    // `claude` succeeded but the settings don't name this helper: nothing, or another one.
    respond = [](const auto&) { return CommandRunner::Result{0, ""}; };
    EXPECT_EQ(setup("/bin/claude").install(appHelper), Installed(SetupError::notApplied()));
    respond = [this](const auto&) {
        EXPECT_EQ(ClaudeConfigFile(settings).setServer("bosken", "/somewhere/else"), std::nullopt);
        return CommandRunner::Result{0, ""};
    };
    EXPECT_EQ(setup("/bin/claude").install(appHelper), Installed(SetupError::notApplied()));
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(ClaudeCodeSetupTest, WithoutClaudeTheFileIsEditedAndAnEqualEntryLeftAlone) {
    TestSupport::writeFile(settings, R"({"theme": "dark", "mcpServers": {"bosken": {"command": "/old", "args": ["-x"]}}})");
    EXPECT_EQ(setup(std::nullopt).install(appHelper), Installed(Outcome::replaced("/old", Method::configFile())));
    const std::string written = TestSupport::readFile(settings);
    EXPECT_EQ(JSON::parsed(written)->data(),
              JSON::object({{"theme", JSON("dark")}, {"mcpServers", JSON::object({{"bosken", ClaudeConfigFile::entry(appHelper)}})}}).data());
    EXPECT_EQ(setup("/bin/claude").install(appHelper), Installed(Outcome::alreadyConnected()));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(TestSupport::readFile(settings), written);
}

TEST_F(ClaudeCodeSetupTest, StatusComparesOnlyTheCommand) {
    const std::pair<std::optional<std::string>, Status> cases[] = {
        {std::nullopt, Status::notConnected()}, {"{oops", Status::notConnected()},
        {R"({"mcpServers": {"bosken": {"command": "/Applications/Bosken.app/Contents/Helpers/bosken-mcp", "args": ["-v"]}}})",
         Status::connected()},
        {R"({"mcpServers": {"bosken": {"command": "/x"}}})", Status::otherHelper("/x")},
    };
    for (const auto& [contents, expected] : cases) {
        std::filesystem::remove(settings);
        if (contents) TestSupport::writeFile(settings, *contents);
        EXPECT_EQ(setup("/bin/claude").status(appHelper), expected) << contents.value_or("(no file)");
    }
}

// The whole road with a real process: a `claude` script on PATH that writes the settings it is told to.
TEST_F(ClaudeCodeSetupTest, FindsClaudeOnPathAndReplacesThroughARealClaudeProcess) {
    const std::string bin = path("bin");
    TestSupport::writeFile(bin + "/claude", R"(#!/bin/sh
echo "$@" >> "$HOME/claude-calls"
if [ "$2" = add ]; then
  printf '{"mcpServers": {"bosken": {"type": "stdio", "command": "%s"}}}' "$7" > "$HOME/.claude.json"
fi
)");
    ASSERT_EQ(::chmod((bin + "/claude").c_str(), 0755), 0);
    EXPECT_EQ(ClaudeCodeSetup({{"PATH", bin}}, path("home"), false, CommandRunner{}).claude, std::nullopt);

    TestSupport::writeFile(settings, R"({"mcpServers": {"bosken": {"command": "/old/bosken-mcp"}}})");
    const ClaudeCodeSetup live({{"PATH", bin + ":/usr/bin:/bin"}, {"HOME", "/nowhere"}}, path("home"), true,
                               CommandRunner::process());
    EXPECT_EQ(live.install(appHelper),
              Installed(Outcome::replaced("/old/bosken-mcp", Method::claudeCommand(bin + "/claude"))));
    EXPECT_EQ(TestSupport::readFile(path("home/claude-calls")),
              "mcp remove --scope user bosken\n"
              "mcp add --scope user bosken -- /Applications/Bosken.app/Contents/Helpers/bosken-mcp\n");
    EXPECT_EQ(live.status(appHelper), Status::connected());
}

}  // namespace
