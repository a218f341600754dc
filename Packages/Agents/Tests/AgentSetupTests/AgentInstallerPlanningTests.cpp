#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "TestSupport/InstallerTestSupport.hpp"

using AgentSetup::AgentApp;
using AgentSetup::AgentInstaller;
using AgentSetup::AgentInstallError;
using AgentSetup::AgentPlan;
using AgentSetup::ClaudeCodeSetup;
using Kind = AgentApp::Kind;
using Change = AgentPlan::Change;
using Method = AgentPlan::Method;
using namespace InstallerTestSupport;

namespace {

const std::string jsonSnippet =
    "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" + helper +
    "\"\n    }\n  }\n}";

class PlanningTest : public InstallerTest {
protected:
    AgentPlan plan(Kind kind, const std::string& helperPath = helper, AgentInstaller::Environment environment = {},
                   bool findCommands = false) const {
        auto inst = installer(std::move(environment), findCommands);
        return planned(inst.plan(inst.app(kind), helperPath));
    }
    AgentInstallError planError(Kind kind, const std::string& helperPath = helper) const {
        auto inst = installer({}, false);
        auto made = inst.plan(inst.app(kind), helperPath);
        if (auto* error = std::get_if<AgentInstallError>(&made)) return *error;
        ADD_FAILURE() << "planning succeeded";
        return {};
    }
};

TEST_F(PlanningTest, HelperOutsideAnInstalledAppFailsEveryPlanBeforeReading) {
    std::filesystem::create_directories(path("home/.cursor/mcp.json"));  // would be unreadable
    const std::string bad = "/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp";
    for (auto kind : AgentApp::allCases) EXPECT_EQ(planError(kind, bad), AgentInstallError::notInstalled(bad));
}

TEST_F(PlanningTest, DirectoryFifoSocketLinkLoopOrHugeFileAtTheConfigPathIsUnreadableAndNeverRead) {
    std::filesystem::create_directories(path("home/.cursor/mcp.json"));
    std::filesystem::create_directories(path("home/.gemini"));
    ASSERT_EQ(::mkfifo(path("home/.gemini/settings.json").c_str(), 0600), 0);
    for (const auto& [kind, config] : {std::pair{Kind::cursor, "/.cursor/mcp.json"}, std::pair{Kind::gemini, "/.gemini/settings.json"}})
        EXPECT_EQ(planError(kind), AgentInstallError::unreadableConfig(home() + config, "Bosken couldn't read it"));

    // open() fails on a socket with neither ENOENT nor ENOTDIR, even for root: not a missing file.
    std::filesystem::create_directories(path("home/.kiro/settings"));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    const auto socketPath = path("home/.kiro/settings/mcp.json");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(planError(Kind::kiro), AgentInstallError::unreadableConfig(socketPath, "Bosken couldn't read it"));
    ::close(listener);

    // Not missing: writing would fail on it with the same words.
    std::filesystem::create_directories(path("home/.codeium/windsurf"));
    std::filesystem::create_symlink("loop", path("home/.codeium/windsurf/mcp_config.json"));
    std::filesystem::create_symlink("mcp_config.json", path("home/.codeium/windsurf/loop"));
    EXPECT_EQ(planError(Kind::windsurf),
              AgentInstallError::unreadableConfig(home() + "/.codeium/windsurf/mcp_config.json", std::strerror(ELOOP)));

    // A sparse file one byte over the limit: refused from its size, before any byte is read.
    write("home/.codex/config.toml", "");
    std::filesystem::resize_file(path("home/.codex/config.toml"), AgentInstaller::maxConfigBytes + 1);
    EXPECT_EQ(planError(Kind::codex), AgentInstallError::unreadableConfig(
                                          home() + "/.codex/config.toml", "it's over 256 MiB, too large for a settings file"));
}

TEST_F(PlanningTest, MissingFileIsCreated) {
    const auto config = home() + "/.gemini/settings.json";
    EXPECT_EQ(plan(Kind::gemini), (AgentPlan{.app = {Kind::gemini, config, false}, .helperPath = helper,
                                             .change = Change::add(), .method = Method::editFile(), .configPath = config,
                                             .createsFile = true, .backupPath = std::nullopt, .preview = jsonSnippet,
                                             .summary = "Creates " + config + " with the entry below.",
                                             .original = std::nullopt, .result = jsonSnippet + "\n"}));
}

TEST_F(PlanningTest, SameCommandIsUnchangedButStillMergedAndNearlySameIsReplaced) {
    write("home/.codeium/windsurf/mcp_config.json",
          "{\"mcpServers\": {\"bosken\": {\"command\": \"" + helper + "\", \"args\": [\"x\"]}}}");
    auto same = plan(Kind::windsurf);
    EXPECT_EQ(same.change, Change::unchanged());
    EXPECT_EQ(same.backupPath, std::nullopt);

    write("home/.cursor/mcp.json", boskenConfig(helper + "/"));
    EXPECT_EQ(plan(Kind::cursor).change, Change::replace(helper + "/"));
}

TEST_F(PlanningTest, ClaudeCodeWithoutItsCommandEditsItsFile) {
    auto made = plan(Kind::claudeCode, helper, {{"PATH", path("nothing")}}, true);
    EXPECT_EQ(made.method, Method::editFile());
    EXPECT_EQ(made.preview, "{\n  \"mcpServers\" : {\n    \"bosken\" : {\n      \"args\" : [],\n      \"command\" : \"" +
                                helper + "\",\n      \"env\" : {},\n      \"type\" : \"stdio\"\n    }\n  }\n}");
}

TEST_F(PlanningTest, FormatProblemsBecomeUnreadableOrLayoutErrors) {
    using ErrorKind = AgentInstallError::Kind;
    const auto cursor = home() + "/.cursor/mcp.json";
    struct Case { Kind app; std::string relative, bytes; ErrorKind expected; std::string message; };  // message checked when given
    const Case cases[] = {
        {Kind::cursor, "home/.cursor/mcp.json", "{\"mcpServers\": {},}", ErrorKind::unreadableConfig,
         cursor + " wasn't changed: it isn't valid JSON (comments and trailing commas aren't accepted)."},
        {Kind::cursor, "home/.cursor/mcp.json", "[1]", ErrorKind::unreadableConfig,
         cursor + " wasn't changed: it isn't a JSON object."},
        {Kind::cursor, "home/.cursor/mcp.json", std::string(1025, '[') + std::string(1025, ']'), ErrorKind::unreadableConfig,
         cursor + " wasn't changed: it's nested more than 1024 levels deep, deeper than Bosken reads."},
        {Kind::cursor, "home/.cursor/mcp.json", "{\"a\": \"" + std::string(1025, '[') + "\"}}", ErrorKind::unreadableConfig,
         cursor + " wasn't changed: it isn't valid JSON (comments and trailing commas aren't accepted)."},
        {Kind::cursor, "home/.cursor/mcp.json", "{\"mcpServers\": []}", ErrorKind::unsupportedLayout, ""},
        {Kind::codex, "home/.codex/config.toml", "mcp_servers.bosken.command = \"/x\"\n", ErrorKind::unsupportedLayout, ""},
        {Kind::codex, "home/.codex/config.toml", "[mcp_servers\n", ErrorKind::unreadableConfig, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        write(c.relative, c.bytes);
        auto error = planError(c.app);
        EXPECT_EQ(error.kind, c.expected);
        if (!c.message.empty()) { EXPECT_EQ(error.message(), c.message); }
    }
}

// The other states are shown by the listing's own test.
TEST_F(PlanningTest, StatusOfACommandThatIsNoTextIsNotConnected) {
    auto inst = installer({}, false);
    write("home/.codex/config.toml", "[mcp_servers.bosken]\ncommand = 42\n");
    EXPECT_EQ(inst.status(inst.app(Kind::codex), helper), ClaudeCodeSetup::Status::notConnected());
}

// The forms no planning test above reaches.
TEST(PlanningSummary, EveryForm) {
    const AgentApp cursor{Kind::cursor, "/Users/me/.cursor/mcp.json", true};
    const std::string path = "/Users/me/.cursor/mcp.json";
    const std::string backup = path + ".bosken-backup-20250102-030405";
    struct Case { Change change; Method method; std::optional<std::string> backup; std::string expected; };
    const Case cases[] = {
        {Change::unchanged(), Method::command("/bin/claude"), backup,
         "Cursor already has Bosken in " + path + ". Nothing to change."},
        {Change::replace("/old"), Method::command("/bin/claude"), backup,
         "Runs the command below, which edits " + path + ". First copies the file to " + backup + "."},
        {Change::add(), Method::editFile(), backup,
         "Adds the entry below in " + path + ", keeping everything else in it. First copies the file to " + backup + "."},
    };
    for (const auto& c : cases) EXPECT_EQ(AgentInstaller::summary(cursor, c.change, c.method, path, c.backup), c.expected);
}

}  // namespace
