#include "AgentMCP/HelperRelaunch.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>

#include "AgentMCP/MCPResume.hpp"

namespace {

using namespace AgentMCP;
using Disk = HelperRelaunch::Disk;
using Refusal = HelperRelaunch::Refusal;
using Kind = Refusal::Kind;

const std::string exe = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::vector<std::string> args = {exe, "--socket", "/tmp/agent.sock"};
constexpr double t0 = 1'780'000'000.25;
const MCPSession session{"2025-06-18", "claude", "2.1", true};

// A made-up platform: identities per path, a runnable flag, a clock, and an `execute` that
// records what it was given and fails.
struct FakePlatform {
    struct Execution { std::string path; std::vector<std::string> arguments; std::string resume; };

    std::map<std::string, std::string> identities{{exe, "file:1:100:5000:1.0"}};
    bool runnable = true;
    double now = t0;
    std::vector<Execution> executions;
    int handovers = 0;

    HelperRelaunch::System system() {
        return {
            [this](const std::string& path) -> std::optional<std::string> {
                return identities.contains(path) ? std::optional(identities[path]) : std::nullopt;
            },
            [this](const std::string&) { return runnable; },
            [this](const std::string& path, const std::vector<std::string>& arguments, const std::string& resume) {
                executions.push_back({path, arguments, resume});
                return ENOENT;
            },
            [this] { return now; },
        };
    }

    void replace() { identities[exe] = "file:1:101:5008:2.0"; }

    // A guard over this platform whose handover counts its calls and gives `state`.
    std::unique_ptr<HelperRelaunch> guard(std::vector<double> relaunches = {},
                                          HelperRelaunch::Handover state = {session, "{\"id\":7}\n"}) {
        auto made = std::make_unique<HelperRelaunch>(exe, args, std::move(relaunches), system());
        made->handover = [this, state] { return ++handovers, state; };
        return made;
    }
};

// The refusal's kind, or "none" when the helper may connect.
std::optional<Kind> kindOf(const std::optional<Refusal>& refusal) { return refusal ? std::optional<Kind>(refusal->kind) : std::nullopt; }

TEST(HelperRelaunchTests, AnswersEachDiskState) {
    const std::optional<std::string> first = "file:1:100:5000:1.0", other = "cdhash:00ff", absent;
    struct Case { const char* name; std::optional<std::string> identityAtLaunch, identityNow; bool runnable; Disk disk; std::optional<Kind> refusal; };
    const Case cases[] = {
        {"unchanged, not runnable", first, first, false, Disk::current, std::nullopt},
        {"removed", first, absent, true, Disk::missing, Kind::missing},
        {"replaced, not runnable", first, other, false, Disk::incomplete, Kind::incomplete},
        {"replaced, runnable (re-execution fails)", first, other, true, Disk::replaced, Kind::relaunchFailed},
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
        auto refusal = guard->check();
        EXPECT_EQ(kindOf(refusal), c.refusal);
        // (The other texts are checked through the built helper.)
        if (c.refusal == Kind::missing) {
            EXPECT_EQ(refusal->message(), "bosken-mcp's program isn't at " + exe + " right now: Bosken is being updated, or was moved "
                                          "or removed. Try again in a few seconds; if Bosken moved, run /mcp to restart the bosken server.");
        }
        EXPECT_EQ(platform.executions.size() + platform.handovers, c.disk == Disk::replaced ? 2u : 0u);
    }
}

TEST(HelperRelaunchTests, StopsAfterThreeRelaunchesWithinAMinute) {
    struct Case { const char* name; std::vector<double> relaunches; bool refuses; };
    const Case cases[] = {
        {"three recent", {t0 - 50, t0 - 10, t0 - 1}, true},
        {"one in the future counts", {t0 - 30, t0 - 20, t0 + 3600}, true},
        {"four, three recent", {t0 - 61, t0 - 59.999, t0 - 30, t0 - 1}, true},
        {"one exactly 60 s old does not count", {t0 - 60, t0 - 30, t0 - 1}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        auto guard = platform.guard(c.relaunches);
        platform.replace();
        EXPECT_EQ(kindOf(guard->check()), c.refuses ? Kind::keepsChanging : Kind::relaunchFailed);
        EXPECT_EQ(platform.handovers, c.refuses ? 0 : 1);
        ASSERT_EQ(platform.executions.size(), c.refuses ? 0u : 1u);
        if (c.refuses) continue;
        auto expected = c.relaunches;
        expected.push_back(t0);
        // An unreadable record throws, and so fails the test.
        EXPECT_EQ(MCPResume::fromEncoded(platform.executions.back().resume).value().relaunches, expected);
    }
}

TEST(HelperRelaunchTests, RefusesAHandoverOverTheSizeLimit) {
    // Grows the record one byte at a time through the client name to hit the limit exactly.
    auto attempt = [](size_t nameLength) {
        FakePlatform platform;
        auto guard = platform.guard({}, {MCPSession{"2025-06-18", std::string(nameLength, 'n'), "1", true}, "abc\n"});
        platform.replace();
        auto refusal = kindOf(guard->check());
        return std::make_pair(refusal, platform.executions);
    };
    size_t base = attempt(0).second.at(0).resume.size();
    ASSERT_LT(base, MCPResume::maxEncodedBytes);

    auto [atLimit, executed] = attempt(MCPResume::maxEncodedBytes - base);
    EXPECT_EQ(atLimit, Kind::relaunchFailed);
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].resume.size(), MCPResume::maxEncodedBytes);

    auto [overLimit, none] = attempt(MCPResume::maxEncodedBytes - base + 1);
    EXPECT_EQ(overLimit, Kind::tooMuchInput);
    EXPECT_TRUE(none.empty());
}

}  // namespace
