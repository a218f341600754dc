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
                auto found = identities.find(path);
                if (found == identities.end()) return std::nullopt;
                return found->second;
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
                                          HelperRelaunch::Handover state = {
                                              MCPSession{"2025-06-18", "claude", "2.1", true}, "{\"id\":7}\n"}) {
        auto made = std::make_unique<HelperRelaunch>(exe, args, std::move(relaunches), system());
        made->handover = [this, state] {
            ++handovers;
            return state;
        };
        return made;
    }

    MCPResume lastRecord() const {
        auto record = MCPResume::fromEncoded(executions.back().resume);
        EXPECT_TRUE(record.has_value()) << executions.back().resume;
        return record.value_or(MCPResume(std::nullopt, "", "/", {}));
    }
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
const std::string failedText =
    "Bosken was updated, and bosken-mcp couldn't restart itself (No such file or directory). Run /mcp to restart the "
    "bosken server.";

TEST(HelperRelaunchTests, TakesTheLaunchIdentityAtConstruction) {
    FakePlatform platform;
    auto guard = platform.guard({t0 - 5});
    EXPECT_EQ(guard->launchIdentity(), "file:1:100:5000:1.0");
    EXPECT_EQ(guard->executable(), exe);
    EXPECT_EQ(guard->arguments(), args);
    EXPECT_EQ(guard->relaunches(), std::vector<double>{t0 - 5});
}

TEST(HelperRelaunchTests, AnswersEachDiskState) {
    struct Case {
        const char* name;
        std::optional<std::string> identityNow;
        bool runnable;
        Disk disk;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"unchanged", "file:1:100:5000:1.0", true, Disk::current, std::nullopt},
        {"unchanged, not runnable", "file:1:100:5000:1.0", false, Disk::current, std::nullopt},
        {"removed", std::nullopt, true, Disk::missing, missingText},
        {"replaced, not runnable", "cdhash:00ff", false, Disk::incomplete, incompleteText},
        {"replaced, runnable (re-execution fails)", "cdhash:00ff", true, Disk::replaced, failedText},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        auto guard = platform.guard();
        if (c.identityNow)
            platform.identities[exe] = *c.identityNow;
        else
            platform.identities.erase(exe);
        platform.runnable = c.runnable;

        EXPECT_EQ(guard->disk(), c.disk) << c.name;
        EXPECT_EQ(guard->checkBeforeConnecting(), c.text) << c.name;
        bool executes = c.disk == Disk::replaced;
        EXPECT_EQ(platform.executions.size(), executes ? 1u : 0u) << c.name;
        EXPECT_EQ(platform.handovers, executes ? 1 : 0) << c.name;
    }
}

TEST(HelperRelaunchTests, WithoutALaunchIdentityNeverInterferes) {
    FakePlatform platform;
    platform.identities.clear();
    auto guard = platform.guard();
    EXPECT_EQ(guard->launchIdentity(), std::nullopt);
    for (auto identity : {std::optional<std::string>(), std::optional<std::string>("file:9:9:9:9.9")}) {
        if (identity) platform.identities[exe] = *identity;
        EXPECT_EQ(guard->disk(), Disk::current);
        EXPECT_EQ(guard->checkBeforeConnecting(), std::nullopt);
    }
    EXPECT_TRUE(platform.executions.empty());
    EXPECT_EQ(platform.handovers, 0);
}

TEST(HelperRelaunchTests, ReexecutesWithTheHandedOverStateAndTheNewTime) {
    FakePlatform platform;
    auto guard = platform.guard();
    platform.replace();

    EXPECT_EQ(guard->checkBeforeConnecting(), failedText);
    ASSERT_EQ(platform.executions.size(), 1u);
    EXPECT_EQ(platform.handovers, 1);
    EXPECT_EQ(platform.executions[0].path, exe);
    EXPECT_EQ(platform.executions[0].arguments, args);
    EXPECT_EQ(platform.lastRecord(),
              MCPResume(MCPSession{"2025-06-18", "claude", "2.1", true}, "{\"id\":7}\n", exe, {t0}));

    // A failed re-execution leaves the guard as it was: the next attempt records only its own time.
    platform.now = t0 + 1;
    EXPECT_EQ(guard->checkBeforeConnecting(), failedText);
    EXPECT_EQ(guard->relaunches(), std::vector<double>{});
    EXPECT_EQ(platform.lastRecord().relaunches, std::vector<double>{t0 + 1});
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
        FakePlatform platform;
        auto guard = platform.guard(c.relaunches);
        platform.replace();
        auto text = guard->checkBeforeConnecting();
        if (c.refuses) {
            EXPECT_EQ(text, keepsChangingText) << c.name;
            EXPECT_EQ(platform.handovers, 0) << c.name;
            EXPECT_TRUE(platform.executions.empty()) << c.name;
        } else {
            EXPECT_EQ(text, failedText) << c.name;
            ASSERT_EQ(platform.executions.size(), 1u) << c.name;
            auto expected = c.relaunches;
            expected.push_back(t0);
            EXPECT_EQ(platform.lastRecord().relaunches, expected) << c.name;
        }
    }
}

TEST(HelperRelaunchTests, RecordKeepsTheLastSevenTimesAndNow) {
    FakePlatform platform;
    auto guard = platform.guard({1, 2, 3, 4, 5, 6, 7, 8});
    platform.replace();
    guard->checkBeforeConnecting();
    ASSERT_EQ(platform.executions.size(), 1u);
    EXPECT_EQ(platform.lastRecord().relaunches, (std::vector<double>{2, 3, 4, 5, 6, 7, 8, t0}));
}

TEST(HelperRelaunchTests, RefusesAHandoverOverTheSizeLimit) {
    // Grows the record one byte at a time through the client name to hit the limit exactly.
    auto attempt = [](size_t extra) {
        FakePlatform platform;
        auto guard = platform.guard({}, {MCPSession{"2025-06-18", std::string(extra, 'n'), "1", true}, "abc\n"});
        platform.replace();
        auto text = guard->checkBeforeConnecting();
        return std::make_pair(text, platform.executions);
    };
    size_t base = attempt(0).second.at(0).resume.size();
    ASSERT_LT(base, MCPResume::maxEncodedBytes);

    auto [atLimit, executed] = attempt(MCPResume::maxEncodedBytes - base);
    EXPECT_EQ(atLimit, failedText);
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].resume.size(), MCPResume::maxEncodedBytes);

    auto [overLimit, none] = attempt(MCPResume::maxEncodedBytes - base + 1);
    EXPECT_EQ(overLimit, tooMuchText);
    EXPECT_TRUE(none.empty());

    FakePlatform platform;
    auto guard = platform.guard({}, {std::nullopt, std::string(200'000, '\0')});
    platform.replace();
    EXPECT_EQ(guard->checkBeforeConnecting(), tooMuchText);
    EXPECT_TRUE(platform.executions.empty());
}

TEST(HelperRelaunchTests, FailureTextNamesTheError) {
    struct Case {
        int error;
        const char* description;
    };
    for (auto c : {Case{ENOENT, "No such file or directory"}, Case{EACCES, "Permission denied"},
                   Case{E2BIG, "Argument list too long"}}) {
        FakePlatform platform;
        platform.execError = c.error;
        auto guard = platform.guard();
        platform.replace();
        EXPECT_EQ(guard->checkBeforeConnecting(), "Bosken was updated, and bosken-mcp couldn't restart itself (" +
                                                      std::string(c.description) +
                                                      "). Run /mcp to restart the bosken server.");
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
