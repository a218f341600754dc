// `bosken-mcp install` run as a real process in a temporary home, with the helper copied to where
// an installed browser keeps it.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <functional>
#include <thread>
#include <set>

#include "AgentWire/JSON.hpp"
#include "TestSupport/InstallerTestSupport.hpp"
#include "TestSupport/ChildProcess.hpp"

using AgentSetup::AgentInstaller;
using AgentWire::JSON;

namespace {

const std::string closingLine =
    "Turn on Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI agents, and allow each agent when Bosken asks.";

// What the real `claude mcp add` leaves behind.
const std::string registersHelper = "printf '{\"mcpServers\":{\"bosken\":{\"command\":\"%s\"}}}' \"$7\" > \"$HOME/.claude.json\"";

struct InstallRun { int status = -100; std::string out, err; };

class InstallEndToEndTest : public InstallerTestSupport::InstallerTest {
protected:
    std::string helper = path("Applications/Bosken.app/Contents/Helpers/bosken-mcp");

    void SetUp() override {
        std::filesystem::create_directories(std::filesystem::path(helper).parent_path());
        std::filesystem::copy_file(BOSKEN_MCP_EXE, helper);
        for (const char* folder : {"home", "bin"}) std::filesystem::create_directories(path(folder));
    }
    TestSupport::ChildProcess::Environment environment() const { return {{"HOME", home()}, {"PATH", path("bin")}}; }
    InstallRun install(std::vector<std::string> arguments, std::optional<std::string> executable = {}) {
        arguments.insert(arguments.begin(), {executable.value_or(helper), "install"});
        TestSupport::ChildProcess child(arguments, environment());
        EXPECT_TRUE(child.started());
        child.closeStdin();
        int status = child.exitCode(std::chrono::seconds(60)).value_or(-100);
        return {status, child.output(), child.errorOutput()};
    }
    std::set<std::string> filesUnder(const std::string& relative) const {
        std::set<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path(relative)))
            files.insert(entry.path().lexically_relative(path(relative)).string());  // it may be gone by now
        return files;
    }
    std::string backupOf(const std::string& relative) const {
        auto file = std::filesystem::path(path(relative));
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
            if (entry.path().filename().string().starts_with(file.filename().string() + ".bosken-backup-")) return entry.path().string();
        return {};
    }
    // A stand-in `claude` that logs its arguments and environment and then runs `body`.
    void fakeClaude(const std::string& body) const {
        const auto log = " >> \"" + path("claude.log") + "\"\n";
        InstallerTestSupport::writeExecutable(path("bin/claude"), "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"" + log +
                                                                      "done\nprintf '\\nHOME=%s\\nPATH=%s\\n' \"$HOME\" \"$PATH\"" +
                                                                      log + body + "\n");
    }
    static std::optional<std::string> boskenCommand(const std::string& bytes) {
        auto json = JSON::parsed(bytes);
        const JSON* at = json ? &*json : nullptr;
        for (const char* key : {"mcpServers", "bosken", "command"}) at = at ? (*at)[key] : nullptr;
        return at && at->string() ? std::optional<std::string>(*at->string()) : std::nullopt;
    }
};

struct AppFile { std::string app, relative, existing; };

const AppFile appFiles[] = {
    {"claude-code", "home/.claude.json", "{\"numStartups\": 12, \"projects\": {}}"},
    {"cursor", "home/.cursor/mcp.json", "{\"mcpServers\": {\"other\": {\"command\": \"x\", \"args\": [\"-v\"]}}}"},
    {"windsurf", "home/.codeium/windsurf/mcp_config.json", "{\"mcpServers\": {\"bosken\": {\"command\": \"/old\"}}}"},
};

// Run through a link, as from a shell's PATH: the helper registers its real path.
TEST_F(InstallEndToEndTest, EachJSONAppIntoAnEmptyHomeThenOverAnExistingFileWithABackup) {
    std::filesystem::create_symlink(helper, path("bin/bosken-mcp"));
    for (const auto& file : appFiles) {
        SCOPED_TRACE(file.app);
        auto fresh = install({"--app", file.app}, path("bin/bosken-mcp"));
        EXPECT_EQ(fresh.status, 0);
        EXPECT_EQ(fresh.err, "");
        EXPECT_TRUE(fresh.out.ends_with("\n" + closingLine + "\n")) << fresh.out;
        EXPECT_EQ(boskenCommand(read(file.relative)), helper);
        EXPECT_EQ(backupOf(file.relative), "");

        // What else the file holds is kept (the JSON editor's tests show how); here, that it is backed up.
        write(file.relative, file.existing);
        auto run = install({"--app", file.app});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(boskenCommand(read(file.relative)), helper);
        auto backup = backupOf(file.relative);
        EXPECT_EQ(TestSupport::readFile(backup), file.existing);
        EXPECT_NE(run.out.find("The old file is saved at " + backup + "."), std::string::npos) << run.out;
    }
}

TEST_F(InstallEndToEndTest, CodexIntoAnEmptyHomeShowsThePlanAndTheResult) {
    auto run = install({"--app", "codex"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string table = "[mcp_servers.bosken]\ncommand = \"" + helper + "\"\nargs = []\n";
    EXPECT_EQ(read("home/.codex/config.toml"), table);
    EXPECT_EQ(run.out, "Codex (CLI and app): Creates " + home() + "/.codex/config.toml with the entry below.\n" + table +
                           "\nAdded Bosken to Codex (CLI and app) in " + home() +
                           "/.codex/config.toml. Start a new Codex session, or restart the Codex app, to load Bosken.\n" +
                           closingLine + "\n");
}

// Added by the app's own command, which finds its interpreter on the usual paths; a different
// helper already registered is removed first (a failing remove is no failure).
TEST_F(InstallEndToEndTest, ClaudeCommandAddsOrReplacesTheHelper) {
    fakeClaude("[ \"$2\" = remove ] && { echo 'not found' >&2; exit 1; }\n" + registersHelper);
    auto run = install({});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Claude Code: Runs the command below, which edits " + home() + "/.claude.json.\n"
                       "claude mcp add --scope user bosken -- " + helper + "\n"
                       "Added Bosken to Claude Code in " + home() + "/.claude.json. New Claude Code sessions can use "
                       "Bosken; restart the ones already running.\n" + closingLine + "\n");
    const std::string add = "[mcp][add][--scope][user][bosken][--][" + helper + "]\nHOME=" + home() + "\nPATH=" +
                            path("bin") + ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin\n";
    EXPECT_EQ(read("claude.log"), add);

    std::filesystem::remove(path("claude.log"));
    write("home/.claude.json", InstallerTestSupport::boskenConfig("/old/bosken-mcp"));
    run = install({"--app", "claude-code"});
    EXPECT_EQ(run.status, 0) << run.err;
    auto log = read("claude.log");
    EXPECT_TRUE(log.starts_with("[mcp][remove][--scope][user][bosken]\n") && log.ends_with(add)) << log;
}

TEST_F(InstallEndToEndTest, FailingClaudeCommandPrintsItsCleanedOutputAndTheManualSteps) {
    fakeClaude("printf '\\033[31mError:\\033[0m could not\\n   write the config\\n'; exit 1");
    auto run = install({});
    EXPECT_EQ(run.status, 2);
    const AgentSetup::AgentApp app{AgentSetup::AgentApp::Kind::claudeCode, home() + "/.claude.json", true};
    EXPECT_EQ(run.err, "bosken-mcp: Claude Code: The command failed: Error: could not write the config\nBy hand:\n" +
                           AgentInstaller::manualSteps(helper, std::vector{app}) + "\n");
    EXPECT_EQ(run.out.find(closingLine), std::string::npos);
}

// Killed in each phase the folder shows (the backup's hidden copy, the backup, the new file's
// hidden copy, the new file in place), install leaves the file as it was or wholly new and never
// a partial backup under a backup's name; the next run removes the hidden files the killed ones left.
TEST_F(InstallEndToEndTest, KilledInEachPhaseLeavesNoPartialBackupAndTheNextRunNoTemporaryFile) {
    std::string original = "{\"mcpServers\": {\"other\": {\"command\": \"x\"}}, \"history\": [";
    for (int i = 0; original.size() < (1u << 18); ++i) original += "\"entry " + std::to_string(i) + " of a long history\", ";
    original += "\"last\"]}";
    const std::string config = "home/.cursor/mcp.json";
    write(config, original);
    ASSERT_EQ(install({"--app", "cursor"}).status, 0);
    const std::string complete = read(config);
    ASSERT_EQ(boskenCommand(complete), helper);

    auto hidden = [](const std::string& name) { return name.starts_with("."); };
    auto backup = [](const std::string& name) { return name.find(".bosken-backup-") != std::string::npos; };
    auto seen = [&](auto test) {
        auto names = filesUnder("home/.cursor");
        return std::any_of(names.begin(), names.end(), test);
    };
    const std::vector<std::pair<const char*, std::function<bool()>>> phases = {
        {"at once", [] { return true; }},
        {"copying the backup", [&] { return seen(hidden); }},
        {"backup in place", [&] { return seen(backup); }},
        {"writing the new file", [&] { return seen(backup) && seen(hidden); }},
        {"new file in place", [&] {
             std::error_code error;
             return std::filesystem::file_size(path(config), error) != original.size();
         }},
    };
    for (const auto& [phase, reached] : phases) {
        SCOPED_TRACE(phase);
        write(config, original);
        {
            TestSupport::ChildProcess child({helper, "install", "--app", "cursor"}, environment());
            child.closeStdin();
            // Watches the folder until the phase begins (or the run ends without it being seen),
            // leaving the child the processor between looks.
            bool ended = false;
            while (!reached() && !(ended = child.wait(std::chrono::milliseconds(0)).has_value())) std::this_thread::yield();
            if (!ended) ::kill(child.pid(), SIGKILL);
            child.wait();
        }
        auto now = read(config);
        EXPECT_TRUE(now == original || now == complete) << "left " << now.size() << " bytes";
        for (const auto& name : filesUnder("home/.cursor")) {
            if (!backup(name)) continue;
            EXPECT_EQ(read("home/.cursor/" + name), original) << "a partial backup";
            std::filesystem::remove(path("home/.cursor/" + name));
        }
    }
    EXPECT_EQ(install({"--app", "cursor"}).status, 0);
    EXPECT_EQ(read(config), complete);
    EXPECT_FALSE(seen(hidden));
}

}  // namespace
