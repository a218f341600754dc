#include "AgentMCP/HelperRelaunch.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AgentMCP/MCPResume.hpp"

namespace {

using namespace AgentMCP;
using Disk = HelperRelaunch::Disk;

const std::string exe = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::vector<std::string> args = {exe, "--socket", "/tmp/agent.sock"};
constexpr double t0 = 1'780'000'000.25;
const MCPSession session{"2025-06-18", "claude", "2.1", true};

// A made-up platform: identities per path, a runnable flag, a settable clock, and an
// `execute` that records what it was given and fails with `execError`.
struct FakePlatform {
    struct Execution {
        std::string path;
        std::vector<std::string> arguments;
        std::string resume;
    };

    std::map<std::string, std::string> identities{{exe, "file:1:100:5000:1.0"}};
    bool runnable = true;
    double now = t0;
    int execError = ENOENT;
    std::vector<Execution> executions;
    int handovers = 0;

    HelperRelaunch::System system() {
        return {
            [this](const std::string& path) -> std::optional<std::string> {
                if (!identities.contains(path)) return std::nullopt;
                return identities[path];
            },
            [this](const std::string&) { return runnable; },
            [this](const std::string& path, const std::vector<std::string>& arguments, const std::string& resume) {
                executions.push_back({path, arguments, resume});
                return execError;
            },
            [this] { return now; },
        };
    }

    void replace() { identities[exe] = "file:1:101:5008:2.0"; }

    // A guard over this platform whose handover counts its calls and gives `state`.
    std::unique_ptr<HelperRelaunch> guard(std::vector<double> relaunches = {},
                                          HelperRelaunch::Handover state = {session, "{\"id\":7}\n"}) {
        auto made = std::make_unique<HelperRelaunch>(exe, args, std::move(relaunches), system());
        made->handover = [this, state] {
            ++handovers;
            return state;
        };
        return made;
    }

    // The record of the last execution; an unreadable one throws and so fails the test.
    MCPResume lastRecord() const { return MCPResume::fromEncoded(executions.back().resume).value(); }
};

const std::string missingText =
    "bosken-mcp's program isn't at /Applications/Bosken.app/Contents/Helpers/bosken-mcp right now: Bosken is being "
    "updated, or was moved or removed. Try again in a few seconds; if Bosken moved, run /mcp to restart the bosken "
    "server.";
const std::string incompleteText =
    "Bosken is being updated (bosken-mcp's new program isn't complete yet). Try again in a few seconds.";
const std::string keepsChangingText =
    "bosken-mcp's program keeps changing (3 restarts in a minute), so it stopped restarting itself. Run /mcp to "
    "restart the bosken server once Bosken's update is done.";
const std::string tooMuchText =
    "Bosken was updated, and bosken-mcp has too much pending input to restart itself. Run /mcp to restart the bosken "
    "server.";

std::string failedText(const std::string& error = "No such file or directory") {
    return "Bosken was updated, and bosken-mcp couldn't restart itself (" + error +
           "). Run /mcp to restart the bosken server.";
}

TEST(HelperRelaunchTests, AnswersEachDiskState) {
    const std::optional<std::string> first = "file:1:100:5000:1.0", other = "cdhash:00ff", absent;
    struct Case {
        const char* name;
        std::optional<std::string> identityAtLaunch, identityNow;
        bool runnable;
        Disk disk;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"unchanged", first, first, true, Disk::current, std::nullopt},
        {"unchanged, not runnable", first, first, false, Disk::current, std::nullopt},
        {"removed", first, absent, true, Disk::missing, missingText},
        {"replaced, not runnable", first, other, false, Disk::incomplete, incompleteText},
        {"replaced, runnable (re-execution fails)", first, other, true, Disk::replaced, failedText()},
        // Without a launch identity the guard never interferes.
        {"none at launch, none now", absent, absent, true, Disk::current, std::nullopt},
        {"none at launch, one now", absent, other, true, Disk::current, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        platform.identities.clear();
        if (c.identityAtLaunch) platform.identities[exe] = *c.identityAtLaunch;
        auto guard = platform.guard();
        EXPECT_EQ(guard->launchIdentity(), c.identityAtLaunch);
        platform.identities.clear();
        if (c.identityNow) platform.identities[exe] = *c.identityNow;
        platform.runnable = c.runnable;

        EXPECT_EQ(guard->disk(), c.disk);
        EXPECT_EQ(guard->checkBeforeConnecting(), c.text);
        bool executes = c.disk == Disk::replaced;
        EXPECT_EQ(platform.executions.size(), executes ? 1u : 0u);
        EXPECT_EQ(platform.handovers, executes ? 1 : 0);
    }
}

TEST(HelperRelaunchTests, ReexecutesWithTheHandedOverStateAndTheLastEightTimes) {
    FakePlatform platform;
    auto guard = platform.guard({1, 2, 3, 4, 5, 6, 7, 8});
    platform.replace();

    EXPECT_EQ(guard->checkBeforeConnecting(), failedText());
    ASSERT_EQ(platform.executions.size(), 1u);
    EXPECT_EQ(platform.handovers, 1);
    EXPECT_EQ(platform.executions[0].path, exe);
    EXPECT_EQ(platform.executions[0].arguments, args);
    EXPECT_EQ(platform.lastRecord(), MCPResume(session, "{\"id\":7}\n", exe, {2, 3, 4, 5, 6, 7, 8, t0}));

    // A failed re-execution leaves the guard as it was: the next attempt records only its own time.
    platform.now = t0 + 1;
    EXPECT_EQ(guard->checkBeforeConnecting(), failedText());
    EXPECT_EQ(guard->relaunches(), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(platform.lastRecord().relaunches, (std::vector<double>{2, 3, 4, 5, 6, 7, 8, t0 + 1}));
}

TEST(HelperRelaunchTests, StopsAfterThreeRelaunchesWithinAMinute) {
    struct Case {
        const char* name;
        std::vector<double> relaunches;
        bool refuses;
    };
    const Case cases[] = {
        {"three recent", {t0 - 50, t0 - 10, t0 - 1}, true},
        {"three at this very moment", {t0, t0, t0}, true},
        {"one in the future counts", {t0 - 30, t0 - 20, t0 + 3600}, true},
        {"four, three recent", {t0 - 61, t0 - 59.999, t0 - 30, t0 - 1}, true},
        {"one exactly 60 s old does not count", {t0 - 60, t0 - 30, t0 - 1}, false},
        {"one older than 60 s", {t0 - 60.001, t0 - 30, t0 - 1}, false},
        {"two recent", {t0 - 30, t0 - 1}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        auto guard = platform.guard(c.relaunches);
        platform.replace();
        EXPECT_EQ(guard->checkBeforeConnecting(), c.refuses ? keepsChangingText : failedText());
        EXPECT_EQ(platform.handovers, c.refuses ? 0 : 1);
        ASSERT_EQ(platform.executions.size(), c.refuses ? 0u : 1u);
        if (c.refuses) continue;
        auto expected = c.relaunches;
        expected.push_back(t0);
        EXPECT_EQ(platform.lastRecord().relaunches, expected);
    }
}

TEST(HelperRelaunchTests, RefusesAHandoverOverTheSizeLimit) {
    // Grows the record one byte at a time through the client name to hit the limit exactly.
    auto attempt = [](std::optional<MCPSession> session, std::string input) {
        FakePlatform platform;
        auto guard = platform.guard({}, {std::move(session), std::move(input)});
        platform.replace();
        return std::make_pair(guard->checkBeforeConnecting(), platform.executions);
    };
    auto named = [&](size_t length) {
        return attempt(MCPSession{"2025-06-18", std::string(length, 'n'), "1", true}, "abc\n");
    };
    size_t base = named(0).second.at(0).resume.size();
    ASSERT_LT(base, MCPResume::maxEncodedBytes);

    auto [atLimit, executed] = named(MCPResume::maxEncodedBytes - base);
    EXPECT_EQ(atLimit, failedText());
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].resume.size(), MCPResume::maxEncodedBytes);

    auto [overLimit, none] = named(MCPResume::maxEncodedBytes - base + 1);
    EXPECT_EQ(overLimit, tooMuchText);
    EXPECT_TRUE(none.empty());

    auto [binaryInput, alsoNone] = attempt(std::nullopt, std::string(200'000, '\0'));
    EXPECT_EQ(binaryInput, tooMuchText);
    EXPECT_TRUE(alsoNone.empty());
}

TEST(HelperRelaunchTests, FailureTextNamesTheError) {
    for (auto [error, text] : {std::pair{EACCES, "Permission denied"}, std::pair{E2BIG, "Argument list too long"}}) {
        FakePlatform platform;
        platform.execError = error;
        auto guard = platform.guard();
        platform.replace();
        EXPECT_EQ(guard->checkBeforeConnecting(), failedText(text));
    }
}

TEST(HelperRelaunchTests, DefaultHandoverHandsOverNothing) {
    FakePlatform platform;
    HelperRelaunch guard(exe, args, {}, platform.system());
    platform.replace();
    guard.checkBeforeConnecting();
    ASSERT_EQ(platform.executions.size(), 1u);
    EXPECT_EQ(platform.lastRecord(), MCPResume(std::nullopt, "", exe, {t0}));
}

}  // namespace
