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
        {{}, "/Users/ann/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", ""}}, "/Users/ann/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", "/tmp/cc/"}}, "/tmp/cc/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", "~/cc"}}, "~/cc/.claude.json"},  // taken as written: no tilde expansion
        {{{"HOME", "/elsewhere"}}, "/Users/ann/.claude.json"},
    };
    for (const auto& [environment, expected] : cases) {
        EXPECT_EQ(ClaudeCodeSetup::configURL(environment, "/Users/ann"), expected) << expected;
    }
}

TEST(ClaudeCodeSetupLocations, OnlyAppBundleHelpersOutsideVolumesAndTranslocationAreInstalled) {
    const std::pair<std::string, bool> cases[] = {
        {appHelper, true},
        {"/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"/private/var/folders/xy/T/AppTranslocation/1234/d/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"/Applications/Bosken.app/Contents/MacOS/bosken-mcp", false},
        // Case-sensitive text tests.
        {"/Applications/Bosken.APP/Contents/Helpers/bosken-mcp", false},
        {"/volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp", true},
        {"", false},
    };
    for (const auto& [path, installed] : cases) {
        EXPECT_EQ(ClaudeCodeSetup::isInstalled(path), installed) << path;
    }
}

TEST(ClaudeCodeSetupQuoting, QuotesOnlyWhatAShellWouldSplitOrExpand) {
    const std::pair<std::string, std::string> cases[] = {
        {appHelper, appHelper},
        {"", ""},
        {"a-b_c.d+e/9", "a-b_c.d+e/9"},
        {"/Applications/My Apps/Bosken.app/Contents/Helpers/bosken-mcp",
         "'/Applications/My Apps/Bosken.app/Contents/Helpers/bosken-mcp'"},
        {"/Applications/it's/Bosken.app/Contents/Helpers/bosken-mcp",
         "'/Applications/it'\\''s/Bosken.app/Contents/Helpers/bosken-mcp'"},
        {"''", "''\\'''\\'''"},
        {"$HOME", "'$HOME'"},
        {"a\\b", "'a\\b'"},
        {"a\nb", "'a\nb'"},
        {"~/x", "'~/x'"},
        // Letters, marks and digits of any script stay bare.
        {"/Programme/Büro/Ñandú", "/Programme/Büro/Ñandú"},
        {"/e\xCC\x81t\xC3\xA9", "/e\xCC\x81t\xC3\xA9"},  // combining acute accent (a mark)
        {"/\xD9\xA3\xD9\xA4", "/\xD9\xA3\xD9\xA4"},        // Arabic-Indic digits
        {"x\xC2\xB2", "x\xC2\xB2"},                        // superscript two (No)
        // Symbols, spaces of other scripts and broken UTF-8 are quoted.
        {"/caf\xC3\xA9\xE2\x80\x83x", "'/caf\xC3\xA9\xE2\x80\x83x'"},  // em space
        {"/\xF0\x9F\x98\x80", "'/\xF0\x9F\x98\x80'"},                  // emoji
        {"/a\xFF", "'/a\xFF'"},
        {"/a\xED\xA0\x80", "'/a\xED\xA0\x80'"},  // surrogate
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(ClaudeCodeSetup::shellQuoted(text), quoted) << text;
    }
}

TEST(ClaudeCodeSetupText, EntryAndCommandLineCarryTheHelperPath) {
    EXPECT_EQ(ClaudeConfigFile::entry("/a b/'c'").data(), R"({"args":[],"command":"/a b/'c'","env":{},"type":"stdio"})");
    EXPECT_EQ(ClaudeCodeSetup::command(appHelper),
              "claude mcp add --scope user bosken -- /Applications/Bosken.app/Contents/Helpers/bosken-mcp");
    EXPECT_EQ(ClaudeCodeSetup::command("/Applications/it's/Bosken.app/Contents/Helpers/bosken-mcp"),
              "claude mcp add --scope user bosken -- '/Applications/it'\\''s/Bosken.app/Contents/Helpers/bosken-mcp'");
}

TEST(ClaudeCodeSetupText, EntryJSONIsTheSortedPrettyDocumentWithSlashesAsTheyAre) {
    EXPECT_EQ(ClaudeCodeSetup::entryJSON(appHelper), R"({
  "mcpServers" : {
    "bosken" : {
      "args" : [],
      "command" : "/Applications/Bosken.app/Contents/Helpers/bosken-mcp",
      "env" : {},
      "type" : "stdio"
    }
  }
})");
}

TEST(ClaudeCodeSetupText, EveryErrorHasItsWholeSentence) {
    const std::pair<SetupError, std::string> cases[] = {
        {SetupError::notInstalled("/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp"),
         "Move Bosken to Applications and open it from there first: Claude Code would start the helper at "
         "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp."},
        {SetupError::unreadableConfig("/Users/ann/.claude.json"),
         "Claude Code's settings at /Users/ann/.claude.json aren't valid JSON, so Bosken left them alone."},
        {SetupError::claudeFailed("it exited with status 1."), "Claude Code couldn't add Bosken: it exited with status 1."},
        {SetupError::writeFailed("Permission denied"), "Couldn't save Claude Code's settings: Permission denied"},
        {SetupError::notApplied(), "Claude Code's settings changed, but Bosken isn't in them. Try again."},
    };
    for (const auto& [error, message] : cases) EXPECT_EQ(error.message(), message);
}

// A `claude` stand-in: records every run and answers through `respond`.
struct FakeClaude {
    using Call = std::tuple<std::string, std::vector<std::string>, CommandRunner::Environment>;
    std::vector<Call> calls;
    std::function<CommandRunner::Result(const std::vector<std::string>&)> respond = [](const auto&) {
        return CommandRunner::Result{0, ""};
    };

    CommandRunner runner() {
        return CommandRunner{[this](const auto& executable, const auto& arguments, const auto& environment) {
            calls.emplace_back(executable, arguments, environment);
            return respond(arguments);
        }};
    }
};

const std::vector<std::string> removeArguments = {"mcp", "remove", "--scope", "user", "bosken"};
const std::vector<std::string> addArguments = {"mcp", "add", "--scope", "user", "bosken", "--", appHelper};
constexpr const char* claudePath = "/opt/homebrew/bin/claude";

class ClaudeCodeSetupTest : public TestSupport::TempDirTest {
protected:
    std::string settings = path("home/.claude.json");
    CommandRunner::Environment environment{{"HOME", path("home")}, {"PATH", "/usr/bin"}};
    FakeClaude fake;

    ClaudeCodeSetup setup(std::optional<std::string> claude) {
        return ClaudeCodeSetup(ClaudeConfigFile(settings), std::move(claude), environment, fake.runner());
    }
    void registerCommand(const std::string& command, const std::string& args = "[]") {
        TestSupport::writeFile(settings, R"({"mcpServers": {"bosken": {"command": ")" + command + R"(", "args": )" +
                                             args + "}}}");
    }
    // What a real `claude mcp add` does to the settings it owns; `remove` answers with `removeStatus`.
    void claudeWritesSettingsOnAdd(int removeStatus = 0) {
        fake.respond = [this, removeStatus](const std::vector<std::string>& arguments) {
            if (arguments.at(1) == "remove") return CommandRunner::Result{removeStatus, "No MCP server named bosken\n"};
            EXPECT_EQ(ClaudeConfigFile(settings).setServer("bosken", arguments.back()), std::nullopt);
            return CommandRunner::Result{0, "Added stdio MCP server bosken to user config\n"};
        };
    }
};

TEST_F(ClaudeCodeSetupTest, HelperOutsideAnInstalledAppIsRefusedBeforeAnythingRuns) {
    for (const std::string helperPath : {"/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp",
                                         "/private/var/folders/T/AppTranslocation/9F2A/d/Bosken.app/Contents/Helpers/bosken-mcp"}) {
        for (const auto& claude : {std::optional<std::string>(claudePath), std::optional<std::string>()}) {
            EXPECT_EQ(setup(claude).install(helperPath), Installed(SetupError::notInstalled(helperPath))) << helperPath;
        }
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_FALSE(std::filesystem::exists(settings));
}

TEST_F(ClaudeCodeSetupTest, AlreadyRegisteredHelperIsLeftAloneEvenWithOtherArguments) {
    registerCommand(appHelper, R"(["--verbose"])");
    const std::string before = TestSupport::readFile(settings);
    for (const auto& claude : {std::optional<std::string>(claudePath), std::optional<std::string>()}) {
        EXPECT_EQ(setup(claude).install(appHelper), Installed(Outcome::alreadyConnected()));
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(TestSupport::readFile(settings), before);
}

TEST_F(ClaudeCodeSetupTest, NewRegistrationThroughClaudeRunsOnlyAdd) {
    claudeWritesSettingsOnAdd();
    EXPECT_EQ(setup(claudePath).install(appHelper), Installed(Outcome::added(Method::claudeCommand(claudePath))));
    EXPECT_EQ(fake.calls, (std::vector<FakeClaude::Call>{{claudePath, addArguments, environment}}));
}

TEST_F(ClaudeCodeSetupTest, OtherHelperIsRemovedThenAddedEvenWhenRemoveFails) {
    const std::string old = "/Applications/Old Bosken.app/Contents/Helpers/bosken-mcp";
    for (const int removeStatus : {0, 1}) {
        registerCommand(old);
        fake.calls.clear();
        claudeWritesSettingsOnAdd(removeStatus);
        EXPECT_EQ(setup(claudePath).install(appHelper), Installed(Outcome::replaced(old, Method::claudeCommand(claudePath))));
        EXPECT_EQ(fake.calls, (std::vector<FakeClaude::Call>{{claudePath, removeArguments, environment},
                                                              {claudePath, addArguments, environment}}))
            << "remove status " << removeStatus;
    }
}

TEST_F(ClaudeCodeSetupTest, FailingClaudeIsReportedAsItsCleanedMessage) {
    const std::pair<CommandRunner::Result, std::string> cases[] = {
        {{1, "\x1B[31mError:\x1B[0m  bad\n  thing\n"}, "Error: bad thing"},
        {{2, " \n"}, "it exited with status 2."},
        {{-1, "The file “claude” doesn’t exist."}, "The file “claude” doesn’t exist."},
    };
    for (const auto& [result, detail] : cases) {
        fake.respond = [&result = result](const auto&) { return result; };
        const auto outcome = setup(claudePath).install(appHelper);
        EXPECT_EQ(outcome, Installed(SetupError::claudeFailed(detail)));
        if (const auto* error = std::get_if<SetupError>(&outcome)) {
            EXPECT_EQ(error->message(), "Claude Code couldn't add Bosken: " + detail);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(settings));
}

TEST_F(ClaudeCodeSetupTest, ClaudeThatWritesElsewhereOrAnotherCommandIsNotApplied) {
    EXPECT_EQ(setup(claudePath).install(appHelper), Installed(SetupError::notApplied()));
    fake.respond = [this](const auto&) {
        EXPECT_EQ(ClaudeConfigFile(settings).setServer("bosken", "/somewhere/else"), std::nullopt);
        return CommandRunner::Result{0, ""};
    };
    EXPECT_EQ(setup(claudePath).install(appHelper), Installed(SetupError::notApplied()));
}

TEST_F(ClaudeCodeSetupTest, WithoutClaudeTheSettingsFileIsCreatedWithOnlyTheEntry) {
    EXPECT_EQ(setup(std::nullopt).install(appHelper), Installed(Outcome::added(Method::configFile())));
    EXPECT_TRUE(fake.calls.empty());
    // The whole text written is checked with ClaudeConfigFile.
    EXPECT_EQ(std::get<std::optional<ClaudeConfigFile::Server>>(ClaudeConfigFile(settings).server("bosken")),
              (ClaudeConfigFile::Server{appHelper, {}}));
}

TEST_F(ClaudeCodeSetupTest, WithoutClaudeAnOtherHelperIsReplacedInTheFile) {
    TestSupport::writeFile(settings, R"({"theme": "dark", "mcpServers": {"bosken": {"command": "/old", "args": ["-x"]}}})");
    EXPECT_EQ(setup(std::nullopt).install(appHelper), Installed(Outcome::replaced("/old", Method::configFile())));
    EXPECT_EQ(JSON::parsed(TestSupport::readFile(settings))->data(),
              JSON::object({{"theme", JSON("dark")},
                            {"mcpServers", JSON::object({{"bosken", ClaudeConfigFile::entry(appHelper)}})}})
                  .data());
}

TEST_F(ClaudeCodeSetupTest, UnreadableSettingsAreLeftAloneWithoutClaude) {
    TestSupport::writeFile(settings, "{\"mcpServers\": ");
    EXPECT_EQ(setup(std::nullopt).install(appHelper), Installed(SetupError::unreadableConfig(settings)));
    EXPECT_EQ(TestSupport::readFile(settings), "{\"mcpServers\": ");

    // With claude the file is claude's to mend; we only see that it still doesn't name us.
    EXPECT_EQ(setup(claudePath).install(appHelper), Installed(SetupError::notApplied()));
    EXPECT_EQ(fake.calls, (std::vector<FakeClaude::Call>{{claudePath, addArguments, environment}}));
}

TEST_F(ClaudeCodeSetupTest, FailedWriteWithoutClaudeIsReported) {
    // A file where the settings' folder should be: nothing to read, and the atomic write fails.
    TestSupport::writeFile(path("home"), "not a folder");
    const auto outcome = setup(std::nullopt).install(appHelper);
    ASSERT_TRUE(std::holds_alternative<SetupError>(outcome));
    EXPECT_EQ(std::get<SetupError>(outcome).kind, SetupError::Kind::writeFailed);
    EXPECT_FALSE(std::get<SetupError>(outcome).detail.empty());
    EXPECT_EQ(TestSupport::readFile(path("home")), "not a folder");
}

TEST_F(ClaudeCodeSetupTest, StatusComparesOnlyTheCommand) {
    const std::pair<std::optional<std::string>, Status> cases[] = {
        {std::nullopt, Status::notConnected()},
        {"{oops", Status::notConnected()},
        {R"({"mcpServers": {"other": {"command": "/x"}}})", Status::notConnected()},
        {R"({"mcpServers": {"bosken": {"command": "/Applications/Bosken.app/Contents/Helpers/bosken-mcp", "args": ["-v"]}}})",
         Status::connected()},
        {R"({"mcpServers": {"bosken": {"command": "/Applications/Bosken.app/Contents/Helpers/bosken-mcp/"}}})",
         Status::otherHelper("/Applications/Bosken.app/Contents/Helpers/bosken-mcp/")},
        {R"({"mcpServers": {"bosken": {"args": []}}})", Status::otherHelper("")},
    };
    for (const auto& [contents, expected] : cases) {
        std::filesystem::remove(settings);
        if (contents) TestSupport::writeFile(settings, *contents);
        EXPECT_EQ(setup(claudePath).status(appHelper), expected) << contents.value_or("(no file)");
    }
    EXPECT_TRUE(fake.calls.empty());
}

// The whole road with a real process: a `claude` script on PATH that writes the settings it is told to.
TEST_F(ClaudeCodeSetupTest, FindsClaudeOnPathAndRegistersThroughARealClaudeProcess) {
    const std::string bin = path("bin");
    TestSupport::writeFile(bin + "/claude", R"(#!/bin/sh
echo "$@" >> "$HOME/claude-calls"
if [ "$2" = add ]; then
  printf '{"mcpServers": {"bosken": {"type": "stdio", "command": "%s"}}}' "$7" > "$HOME/.claude.json"
fi
)");
    ASSERT_EQ(::chmod((bin + "/claude").c_str(), 0755), 0);

    const CommandRunner::Environment given{{"PATH", bin}, {"HOME", "/nowhere"}, {"CLAUDE_CONFIG_DIR", path("cc")}};
    const ClaudeCodeSetup found(given, path("home"), true, fake.runner());
    EXPECT_EQ(found.config.url, path("cc") + "/.claude.json");
    EXPECT_EQ(found.claude, bin + "/claude");
    EXPECT_EQ(found.environment,
              (CommandRunner::Environment{{"PATH", bin}, {"HOME", path("home")}, {"CLAUDE_CONFIG_DIR", path("cc")}}));
    EXPECT_EQ(ClaudeCodeSetup(given, path("home"), false, fake.runner()).claude, std::nullopt);

    registerCommand("/old/bosken-mcp");
    const ClaudeCodeSetup live({{"PATH", bin + ":/usr/bin:/bin"}}, path("home"), true, CommandRunner::process());
    EXPECT_EQ(live.install(appHelper),
              Installed(Outcome::replaced("/old/bosken-mcp", Method::claudeCommand(bin + "/claude"))));
    EXPECT_EQ(TestSupport::readFile(path("home/claude-calls")),
              "mcp remove --scope user bosken\n"
              "mcp add --scope user bosken -- /Applications/Bosken.app/Contents/Helpers/bosken-mcp\n");
    EXPECT_EQ(live.status(appHelper), Status::connected());
}

}  // namespace
