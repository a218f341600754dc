#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "AgentMCP/AppLink.hpp"
#include "LinkDriver.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "TestSupport/TempDir.hpp"

using AgentMCP::AppLink;
using AgentMCP::ToolOutcome;
using AgentWire::AgentMessage;
using AgentWire::JSON;
using namespace std::chrono_literals;

namespace {

const std::string notRunningText =
    "Bosken isn't running, or agent access is off. The owner turns it on in Bosken \u25b8 Settings \u25b8 General "
    "\u25b8 AI agents.";
const std::string stillWaitingText =
    "Waiting for the owner to allow this agent in Bosken (a prompt is showing in the Bosken window). Try again "
    "shortly.";
const std::string connectionLostText = "Bosken closed the connection (it quit, or agent access was turned off).";
const std::string timedOutText = "Bosken didn't answer in time.";
const std::string hello = R"({"client":"test-agent","clientVersion":"1.0","type":"hello","version":1})";
const size_t fortyEightMiB = 48u << 20;

std::string welcome() { return AgentMessage::welcome("s").line(); }
std::string pending() { return AgentMessage::pending().line(); }
JSON textItem(const std::string& text) { return JSON::object({{"type", "text"}, {"text", text}}); }
std::string result(int64_t id, const std::string& text) { return AgentMessage::result(id, {textItem(text)}, false).line(); }
ToolOutcome textOutcome(const std::string& text) { return ToolOutcome{{textItem(text)}, false}; }
std::string callLine(int64_t id) {
    return R"({"arguments":{},"id":)" + std::to_string(id) + R"(,"tool":"list_agent_tabs","type":"call"})";
}

// What the browser sends on one connection: bytes written at once (or in small pieces,
// so the helper's reads split them, or over and over while the helper reads), then
// optionally a close.
struct Script {
    std::string bytes;
    bool closeAfter = false;
    size_t pieces = 0;                      // 0: one write
    bool repeat = false;
    std::vector<std::string> replies = {};  // replies[i] answers the helper's line i (0 is hello)
};

// The browser's ends of the connections the link made. Each connection gets the next
// script, written from a thread of its own so long scripts never block the link.
class FakeBrowser {
public:
    std::vector<Script> scripts;
    int connects = 0;
    int preflights = 0;
    std::vector<std::optional<std::string>> preflightAnswers;  // by call; nothing after the end

    ~FakeBrowser() {
        for (auto& t : writers_) t.join();
        for (int fd : ends_) ::close(fd);
    }

    // A link to this browser that introduced "test-agent".
    std::unique_ptr<AppLink> link(std::chrono::milliseconds approvalWait = 2000ms,
                                  std::chrono::milliseconds callTimeout = 2000ms) {
        auto connect = [this]() -> std::variant<int, AppLink::LinkError> {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return AppLink::LinkError::notRunning();
            size_t index = static_cast<size_t>(connects++);
            ends_.push_back(fds[1]);
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back();
                played_.push_back(false);
            }
            Script script = index < scripts.size() ? scripts[index] : Script{};
            writers_.emplace_back([this, end = fds[1], index, script] { play(end, index, script); });
            return fds[0];
        };
        auto preflight = [this]() -> std::optional<std::string> {
            size_t index = static_cast<size_t>(preflights++);
            return index < preflightAnswers.size() ? preflightAnswers[index] : std::nullopt;
        };
        auto made = std::make_unique<AppLink>(connect, preflight, approvalWait, callTimeout);
        made->clientDidIntroduce("test-agent", "1.0");
        return made;
    }

    // Writes more to connection `index` from the test itself (small amounts only).
    void send(size_t index, const std::string& bytes) {
        ASSERT_EQ(::send(ends_.at(index), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // The lines the helper sent on connection `index`, once `count` have arrived (or after 2 s).
    std::vector<std::string> lines(size_t index, size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 2s, [&] { return received_.at(index).size() >= count; });
        return received_.at(index);
    }

    // Waits (up to 2 s) until connection `index` has its script written and, if it asks for
    // it, its close done.
    void waitUntilPlayed(size_t index) {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, 2s, [&] { return played_.at(index); }));
    }

private:
    std::vector<int> ends_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> received_;
    std::vector<bool> played_;
    std::vector<std::thread> writers_;

    // Writes the script, then records the helper's lines and answers them, until the helper
    // closes its end.
    void play(int fd, size_t index, const Script& script) {
        size_t step = script.pieces ? (script.bytes.size() + script.pieces - 1) / script.pieces : script.bytes.size();
        do {
            for (size_t at = 0; at < script.bytes.size();) {
                ssize_t n = ::send(fd, script.bytes.data() + at, std::min(step, script.bytes.size() - at), MSG_NOSIGNAL);
                if (n <= 0) return;  // the link closed its end
                at += static_cast<size_t>(n);
                if (script.pieces) std::this_thread::sleep_for(2ms);
            }
        } while (script.repeat);
        if (script.closeAfter) ::shutdown(fd, SHUT_WR);
        {
            std::lock_guard lock(mutex_);
            played_[index] = true;
        }
        changed_.notify_all();
        std::string pending;
        char chunk[65536];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
                std::lock_guard lock(mutex_);
                size_t seen = received_[index].size();
                received_[index].push_back(pending.substr(0, nl));
                if (seen < script.replies.size()) ::send(fd, script.replies[seen].data(), script.replies[seen].size(), MSG_NOSIGNAL);
                changed_.notify_all();
            }
        }
    }
};

JSON noArguments() { return JSON(JSON::Object{}); }

}  // namespace

TEST(AppLink, ConnectsOnTheFirstCallOnceAndPassesContentAndErrorFlagUnchanged) {
    JSON image = JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", "iVBORw0KGgo="}});
    FakeBrowser browser;
    browser.scripts = {{"", false, 0, false, {welcome(), result(1, "tab-1"), AgentMessage::result(2, {image, JSON(42)}, true).line()}}};
    auto link = browser.link();
    EXPECT_EQ(browser.connects, 0);
    EXPECT_EQ(TestSupport::runCall(*link, "open_tab", JSON::object({{"url", "https://a.example"}})), textOutcome("tab-1"));
    EXPECT_EQ(link->state(), AppLink::State::ready);
    link->clientDidIntroduce("second", "2");  // takes effect at the next connection only
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), (ToolOutcome{{image, JSON(42)}, true}));
    EXPECT_EQ(browser.connects, 1);
    EXPECT_EQ(browser.preflights, 1);
    EXPECT_EQ(browser.lines(0, 3),
              (std::vector<std::string>{
                  hello, R"({"arguments":{"url":"https://a.example"},"id":1,"tool":"open_tab","type":"call"})", callLine(2)}));
}

// The fast road over the same link: the general road's reply bytes, whether the result is
// taken as it came or decoded first, and a refusal written around the request's id.
TEST(AppLink, FastCallsGiveTheRepliesOfTheGeneralRoad) {
    JSON image = JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", "iVBORw0KGgo="}});
    FakeBrowser browser;
    browser.scripts = {{"", false, 0, false,
                        {welcome(),
                         result(9, "late") + pending() +
                             R"({"type":"result","id":1,"content":[{"type":"text","text":"tab-1"}]})" "\n",
                         AgentMessage::result(2, {image, JSON(42)}, true).line(), AgentMessage::denied("No.").line()}}};
    auto link = browser.link();
    const std::string line =
        R"({"id":"a","method":"tools/call","params":{"name":"open_tab","arguments":{"url":"https://a.example"}}})";
    auto request = AgentMCP::ToolCallScan::request(line);
    ASSERT_TRUE(request);
    std::vector<std::string> written;
    for (int i = 0; i < 3; ++i) {
        AppLink::Step step = TestSupport::runToEnd(*link, link->start(*request));
        written.push_back(step.reply ? step.reply->str()
                                     : AgentMCP::ToolCallScan::replyFor(request->id, step.outcome.value_or(ToolOutcome{})));
    }
    EXPECT_EQ(written, (std::vector<std::string>{
                           R"({"id":"a","jsonrpc":"2.0","result":{"content":[{"text":"tab-1","type":"text"}],"isError":false}})" "\n",
                           R"({"id":"a","jsonrpc":"2.0","result":{"content":[{"data":"iVBORw0KGgo=","mimeType":"image/png","type":"image"},42],"isError":true}})" "\n",
                           R"({"id":"a","jsonrpc":"2.0","result":{"content":[{"text":"No.","type":"text"}],"isError":true}})" "\n"}));
    auto call = [](int id) {
        return R"({"arguments":{"url":"https://a.example"},"id":)" + std::to_string(id) + R"(,"tool":"open_tab","type":"call"})";
    };
    EXPECT_EQ(browser.lines(0, 4), (std::vector<std::string>{hello, call(1), call(2), call(3)}));
    EXPECT_EQ(link->state(), AppLink::State::closed);
}

TEST(AppLink, PendingThenNothingIsStillWaitingAndTheNextCallWaitsWithoutANewHello) {
    FakeBrowser browser;
    browser.scripts = {{pending() + pending()}};
    auto link = browser.link(100ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), ToolOutcome::error(stillWaitingText));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    EXPECT_EQ(link->state(), AppLink::State::asking);
    EXPECT_EQ(link->lastCallID(), 0);

    // The owner decided meanwhile: the welcome is already queued when the next call comes.
    browser.send(0, welcome() + result(1, "done"));
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("done"));
    EXPECT_EQ(browser.connects, 1);
    EXPECT_EQ(browser.preflights, 1);
    EXPECT_EQ(browser.lines(0, 2), (std::vector<std::string>{hello, callLine(1)}));
}

TEST(AppLink, WhatArrivedBetweenCallsIsDrainedBeforeTheNextCall) {
    FakeBrowser browser;
    browser.scripts = {{"", false, 0, false, {welcome(), result(1, "first"), result(2, "fresh")}}};
    auto link = browser.link();
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("first"));
    // A stray line carrying the next call's id, sent before that call exists, must not answer it.
    browser.send(0, pending() + result(2, "stale"));
    // A poll that saw them is no reason to skip the drain.
    link->polled(link->fd(), POLLIN);
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("fresh"));
    EXPECT_EQ(browser.connects, 1);
}

TEST(AppLink, AConnectionLostBetweenCallsIsReplacedWithANewHelloAndIdsKeepRising) {
    struct Case {
        const char* name;
        Script first;
        std::chrono::milliseconds callTimeout;
        ToolOutcome outcome;
    };
    const std::vector<Case> cases = {
        {"stopped", {welcome() + result(1, "first") + AgentMessage::stopped("Paused.").line()}, 2000ms, textOutcome("first")},
        {"closed", {welcome() + result(1, "first"), true}, 2000ms, textOutcome("first")},
        // The time-out closes the connection; the late answer comes on the next one.
        {"timed out", {welcome()}, 100ms, ToolOutcome::error(timedOutText)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBrowser browser;
        // The result with another id is skipped.
        browser.scripts = {c.first, {welcome() + result(1, "too late") + pending() + result(2, "second")}};
        auto link = browser.link(2000ms, c.callTimeout);
        EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), c.outcome);
        browser.waitUntilPlayed(0);  // the stop or close arrives between the calls
        EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("second"));
        EXPECT_EQ(browser.connects, 2);
        EXPECT_EQ(browser.preflights, 2);
        EXPECT_EQ(browser.lines(1, 2), (std::vector<std::string>{hello, callLine(2)}));
    }
}

TEST(AppLink, RefusalsGiveTheReasonOrTheDefaultOrPreflightsTextAndClose) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::optional<std::string>> preflightAnswers;
        std::string text;
        int connects, preflights;
    };
    const std::vector<Case> cases = {
        {"denied with a reason", pending() + R"({"type":"denied","reason":"Not this agent."})" "\n", {}, "Not this agent.", 1, 2},
        {"denied without a reason", pending() + R"({"type":"denied"})" "\n", {}, "Bosken refused the connection.", 1, 2},
        {"denied after an update", pending() + R"({"type":"denied","reason":"No."})" "\n",
         {std::nullopt, "Bosken was updated."}, "Bosken was updated.", 1, 2},
        {"preflight text, so no connection", "", {"Bosken was updated; restart your agent app."},
         "Bosken was updated; restart your agent app.", 0, 1},
        {"stopped at hello", R"({"type":"stopped","reason":"Agent access is off."})" "\n", {}, "Agent access is off.", 1, 1},
        {"stopped during a call", welcome() + R"({"type":"stopped"})" "\n", {}, "The owner stopped agent access.", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBrowser browser;
        browser.scripts = {{c.bytes}};
        browser.preflightAnswers = c.preflightAnswers;
        auto link = browser.link();
        EXPECT_EQ(TestSupport::runCall(*link, "click", JSON()), ToolOutcome::error(c.text));
        EXPECT_EQ(link->state(), AppLink::State::closed);
        EXPECT_EQ(browser.connects, c.connects);
        EXPECT_EQ(browser.preflights, c.preflights);
    }
}

TEST(AppLink, BrokenAnswersLoseTheConnectionAndTheNextCallReconnects) {
    std::string overlong = R"({"type":"result","id":1,"content":[{"type":"text","text":")";
    overlong += std::string(fortyEightMiB + 1 - overlong.size() - 4, 'x') + "\"}]}";
    const std::vector<std::pair<const char*, Script>> cases = {
        {"half a line, then a close", {welcome() + R"({"type":"result","id":1,"con)", true}},
        {"an undecodable line", {welcome() + "<html>\n"}},
        {"a line that is not a message", {welcome() + R"({"type":"result"})" "\n"}},
        {"a close before welcome", {pending(), true}},
        {"a line one byte over 48 MiB", {welcome() + overlong + "\n"}},
    };
    for (const auto& [name, script] : cases) {
        SCOPED_TRACE(name);
        FakeBrowser browser;
        // Whatever id the next call gets (a failure before sending used none), it is answered.
        browser.scripts = {script, {welcome() + result(1, "again") + result(2, "again")}};
        auto link = browser.link(5000ms, 5000ms);
        EXPECT_EQ(TestSupport::runCall(*link, "click", JSON()), ToolOutcome::error(connectionLostText));
        EXPECT_EQ(link->state(), AppLink::State::closed);
        EXPECT_EQ(TestSupport::runCall(*link, "click", JSON()), textOutcome("again"));
        EXPECT_EQ(browser.connects, 2);
    }
}

TEST(AppLink, ALineOfExactlyFortyEightMebibytesArrivesWhole) {
    std::string head = R"({"type":"result","id":1,"content":[{"type":"text","text":")";
    std::string text(fortyEightMiB - head.size() - 4, 'y');
    FakeBrowser browser;
    browser.scripts = {{welcome() + head + text + "\"}]}\n"}};
    EXPECT_EQ(TestSupport::runCall(*browser.link(5000ms, 10000ms), "list_agent_tabs", noArguments()), textOutcome(text));
}

TEST(AppLink, SplitAndMergedReadsAndEmptyLinesAreFramed) {
    FakeBrowser browser;
    browser.scripts = {{"\n" + welcome() + "\n\n" + result(1, "split across reads") + "\n", false, 9}};
    EXPECT_EQ(TestSupport::runCall(*browser.link(), "list_agent_tabs", noArguments()), textOutcome("split across reads"));
}

TEST(AppLink, CallToABrowserThatStoppedReadingTimesOut) {
    FakeBrowser browser;
    browser.scripts = {{welcome()}};
    auto link = browser.link(2000ms, 150ms);
    JSON huge = JSON::object({{"text", std::string(16 << 20, 'z')}});  // far more than socket buffers hold
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TestSupport::runCall(*link, "type", huge), ToolOutcome::error(timedOutText));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(link->state(), AppLink::State::closed);
}

TEST(AppLink, AFloodOfPendingCannotHoldTheWaitPastItsDeadline) {
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += pending();
    FakeBrowser browser;
    browser.scripts = {{burst, false, 0, true}};
    auto link = browser.link(200ms, 200ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), ToolOutcome::error(stillWaitingText));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(AppLink, ConnectFailureIsNotRunningAndTheNextCallTriesAgain) {
    int attempts = 0;
    AppLink refused([&]() -> std::variant<int, AppLink::LinkError> { ++attempts; return AppLink::LinkError::notRunning(); },
                    [] { return std::optional<std::string>(); }, 1s, 1s);
    EXPECT_EQ(TestSupport::runCall(refused, "click", JSON()), ToolOutcome::error(notRunningText));
    EXPECT_EQ(TestSupport::runCall(refused, "click", JSON()), ToolOutcome::error(notRunningText));
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(refused.lastCallID(), 0);
}

// MARK: - Unix socket connect

TEST(AppLinkUnixSocket, PathLengthAndFailedCallsDecideTheOutcome) {
    using Log = std::vector<std::string>;
    std::string wide = "/";  // multi-byte characters count as their UTF-8 bytes: 1 + 34 * 3 = 103
    for (int i = 0; i < 34; ++i) wide += "\u25b8";
    struct Case {
        std::string path;
        int socketResult, connectResult;
        Log log;  // ending in "peer 5": connected
        bool peerIsOwner = true;
    };
    const std::vector<Case> cases = {
        {"/" + std::string(102, 'p'), 5, 0, {"socket", "connect 5", "peer 5"}},
        {wide, 5, 0, {"socket", "connect 5", "peer 5"}},
        // Refused before any system call.
        {"/" + std::string(103, 'p'), 5, 0, {}},
        {wide + "x", 5, 0, {}},
        {"", 5, 0, {}},
        {std::string("/tmp/a\0b", 8), 5, 0, {}},
        {"/tmp/x.sock", -1, 0, {"socket"}},
        {"/tmp/x.sock", 5, -1, {"socket", "connect 5", "close 5"}},
        // Another user's socket is no browser of the owner's.
        {"/tmp/x.sock", 5, 0, {"socket", "connect 5", "peer 5", "close 5"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Log log;
        std::string path;
        unsigned length = 0;
        AppLink::SocketCalls calls;
        calls.socket = [&] {
            log.push_back("socket");
            return c.socketResult;
        };
        calls.connect = [&](int fd, const void* address, unsigned len) {
            log.push_back("connect " + std::to_string(fd));
            const auto* un = static_cast<const sockaddr_un*>(address);
            EXPECT_EQ(un->sun_family, AF_UNIX);
            path = un->sun_path;
            length = len;
            return c.connectResult;
        };
        calls.close = [&](int fd) { log.push_back("close " + std::to_string(fd)); };
        calls.peerIsOwner = [&](int fd) {
            log.push_back("peer " + std::to_string(fd));
            return c.peerIsOwner;
        };
        auto fd = AppLink::unixSocket(c.path, calls)();
        EXPECT_EQ(log, c.log);
        if (!c.log.empty() && c.log.back() == "peer 5") {
            EXPECT_EQ(std::get<int>(fd), 5);
            EXPECT_EQ(path, c.path);
            EXPECT_EQ(length, sizeof(sockaddr_un));
        } else {
            EXPECT_EQ(std::get<AppLink::LinkError>(fd), AppLink::LinkError::notRunning());
        }
    }
}

class AppLinkLiveSocket : public TestSupport::TempDirTest {};

// The live peer check passes the own user's socket (another user's needs privileges to make).
TEST_F(AppLinkLiveSocket, ConnectsToAListeningSocketOfTheOwnUserAndNotToAMissingOne) {
    std::string path = this->path("agent.sock");
    EXPECT_EQ(std::get<AppLink::LinkError>(AppLink::unixSocket(path)()), AppLink::LinkError::notRunning());

    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    auto fd = AppLink::unixSocket(path)();
    ASSERT_TRUE(std::holds_alternative<int>(fd));
    EXPECT_GE(std::get<int>(fd), 0);
    ::close(std::get<int>(fd));
    ::close(listener);
}
