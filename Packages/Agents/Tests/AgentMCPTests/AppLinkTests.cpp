#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "AgentMCP/AppLink.hpp"
#include "LinkDriver.hpp"
#include "AgentWire/AgentMessage.hpp"

using AgentMCP::AppLink;
using AgentMCP::ToolOutcome;
using AgentWire::AgentMessage;
using AgentWire::JSON;
using namespace std::chrono_literals;

namespace {

const std::string stillWaitingText = "Waiting for the owner to allow this agent in Bosken (a prompt is showing in the Bosken window). Try again shortly.";
const std::string connectionLostText = "Bosken closed the connection (it quit, or agent access was turned off).";
const std::string timedOutText = "Bosken didn't answer in time.";
const std::string hello = R"({"client":"test-agent","clientVersion":"1.0","type":"hello","version":1})";

std::string welcome() { return AgentMessage::welcome("s").line(); }
std::string pending() { return AgentMessage::pending().line(); }
JSON textItem(const std::string& text) { return JSON::object({{"type", "text"}, {"text", text}}); }
std::string result(int64_t id, const std::string& text) { return AgentMessage::result(id, {textItem(text)}, false).line(); }
ToolOutcome textOutcome(const std::string& text) { return ToolOutcome{{textItem(text)}, false}; }
std::string callLine(int64_t id) { return R"({"arguments":{},"id":)" + std::to_string(id) + R"(,"tool":"list_agent_tabs","type":"call"})"; }

// What the browser sends on one connection: bytes written at once (or in `pieces` small
// ones, so the helper's reads split them, or over and over while the helper reads), then
// optionally a close; replies[i] answers the helper's line i (0 is hello).
struct Script { std::string bytes; bool closeAfter = false; size_t pieces = 0; bool repeat = false; std::vector<std::string> replies = {}; };

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
            { std::lock_guard lock(mutex_); received_.emplace_back(); played_.push_back(false); }
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
        { std::lock_guard lock(mutex_); played_[index] = true; }
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

TEST(AppLink, ConnectsOnTheFirstCallOnceAndDrainsWhatArrivedBetweenCalls) {
    FakeBrowser browser;
    browser.scripts = {{"", false, 0, false, {welcome(), result(1, "tab-1"), result(2, "tab-2")}}};
    auto link = browser.link();
    EXPECT_EQ(browser.connects, 0);
    EXPECT_EQ(TestSupport::runCall(*link, "open_tab", JSON::object({{"url", "https://a.example"}})), textOutcome("tab-1"));
    EXPECT_EQ(link->state(), AppLink::State::ready);
    link->clientDidIntroduce("second", "2");  // takes effect at the next connection only
    // A stray line carrying the next call's id, sent before that call exists, must not answer it.
    browser.send(0, pending() + result(2, "stale"));
    // A poll that saw them is no reason to skip the drain.
    link->polled(link->fd(), POLLIN);
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("tab-2"));
    EXPECT_EQ(std::pair(browser.connects, browser.preflights), std::pair(1, 1));
    EXPECT_EQ(browser.lines(0, 3),
              (std::vector<std::string>{hello, R"({"arguments":{"url":"https://a.example"},"id":1,"tool":"open_tab","type":"call"})", callLine(2)}));
}

// Split across reads, with empty lines between them, the messages are still framed.
TEST(AppLink, PendingThenNothingIsStillWaitingAndTheNextCallWaitsWithoutANewHello) {
    FakeBrowser browser;
    browser.scripts = {{"\n" + pending() + "\n\n" + pending(), false, 9}};
    auto link = browser.link(100ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), ToolOutcome::error(stillWaitingText));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    EXPECT_EQ(link->state(), AppLink::State::asking);
    EXPECT_EQ(link->lastCallID(), 0);

    // The owner decided meanwhile: the welcome is already queued when the next call comes.
    browser.send(0, welcome() + result(1, "done"));
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("done"));
    EXPECT_EQ(std::pair(browser.connects, browser.preflights), std::pair(1, 1));
    EXPECT_EQ(browser.lines(0, 2), (std::vector<std::string>{hello, callLine(1)}));
}

// A stop, a time-out or a broken answer loses the connection; the next call makes a new one.
TEST(AppLink, ALostConnectionIsReplacedAtTheNextCallWithANewHelloAndIdsKeepRising) {
    const ToolOutcome lost = ToolOutcome::error(connectionLostText);
    struct Case { const char* name; Script first; std::chrono::milliseconds callTimeout; ToolOutcome outcome; int nextID; };
    const std::vector<Case> cases = {
        {"stopped", {welcome() + result(1, "first") + AgentMessage::stopped("Paused.").line()}, 2000ms, textOutcome("first"), 2},
        // The time-out closes the connection; the late answer comes on the next one.
        {"timed out", {welcome()}, 100ms, ToolOutcome::error(timedOutText), 2},
        {"half a line, then a close", {welcome() + R"({"type":"result","id":1,"con)", true}, 2000ms, lost, 2},
        {"an undecodable line", {welcome() + "<html>\n"}, 2000ms, lost, 2},
        {"a line that is not a message", {welcome() + R"({"type":"result"})" "\n"}, 2000ms, lost, 2},
        {"a close before welcome", {pending(), true}, 2000ms, lost, 1},  // no call was sent, so no id used
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBrowser browser;
        // A result with another id is skipped.
        browser.scripts = {c.first, {welcome() + result(c.nextID - 1, "too late") + pending() + result(c.nextID, "second")}};
        auto link = browser.link(2000ms, c.callTimeout);
        EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), c.outcome);
        browser.waitUntilPlayed(0);  // the stop or close arrives between the calls
        EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome("second"));
        EXPECT_EQ(std::pair(browser.connects, browser.preflights), std::pair(2, 2));
        EXPECT_EQ(browser.lines(1, 2), (std::vector<std::string>{hello, callLine(c.nextID)}));
    }
}

TEST(AppLink, RefusalsGiveTheReasonOrTheDefaultOrPreflightsTextAndClose) {
    struct Case { const char* name; std::string bytes; std::vector<std::optional<std::string>> preflightAnswers; std::string text; int connects, preflights; };
    const std::vector<Case> cases = {
        {"denied with a reason", pending() + R"({"type":"denied","reason":"Not this agent."})" "\n", {}, "Not this agent.", 1, 2},
        {"denied without a reason", pending() + R"({"type":"denied"})" "\n", {}, "Bosken refused the connection.", 1, 2},
        {"denied after an update", pending() + R"({"type":"denied","reason":"No."})" "\n",
         {std::nullopt, "Bosken was updated."}, "Bosken was updated.", 1, 2},
        {"preflight text, so no connection", "", {"Bosken was updated; restart your agent app."},
         "Bosken was updated; restart your agent app.", 0, 1},
        {"stopped at hello", R"({"type":"stopped","reason":"Agent access is off."})" "\n", {}, "Agent access is off.", 1, 1},
        {"stopped during a call", welcome() + R"({"type":"stopped"})" "\n", {}, "The owner stopped agent access.", 1, 1},
        {"denied during a call", welcome() + R"({"type":"denied","reason":"No."})" "\n", {}, "No.", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBrowser browser;
        browser.scripts = {{c.bytes}};
        browser.preflightAnswers = c.preflightAnswers;
        auto link = browser.link();
        EXPECT_EQ(TestSupport::runCall(*link, "click", JSON()), ToolOutcome::error(c.text));
        EXPECT_EQ(link->state(), AppLink::State::closed);
        EXPECT_EQ(std::pair(browser.connects, browser.preflights), std::pair(c.connects, c.preflights));
    }
}

// The line limit at full size: a line of exactly 48 MiB arrives whole, one byte more loses the
// connection.
TEST(AppLink, ALineOfExactlyFortyEightMebibytesArrivesWholeAndOneByteMoreIsRefused) {
    const std::string head = R"({"type":"result","id":1,"content":[{"type":"text","text":")";
    std::string text((48u << 20) - head.size() - 4, 'y');
    FakeBrowser browser;
    browser.scripts = {{welcome() + head + text + "\"}]}\n" + head + text + "y\"}]}\n"}};
    auto link = browser.link(5000ms, 10000ms);
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), textOutcome(text));
    EXPECT_EQ(TestSupport::runCall(*link, "list_agent_tabs", noArguments()), ToolOutcome::error(connectionLostText));
}

// A browser that stops reading, or floods the link with pending messages, cannot hold a call
// past its deadline.
TEST(AppLink, WaitsEndAtTheirDeadline) {
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += pending();
    const std::vector<std::tuple<Script, JSON, std::string>> cases = {
        {{welcome()}, JSON::object({{"text", std::string(4 << 20, 'z')}}), timedOutText},  // far more than socket buffers hold
        {{burst, false, 0, true}, noArguments(), stillWaitingText},
    };
    for (const auto& [script, arguments, text] : cases) {
        FakeBrowser browser;
        browser.scripts = {script};
        auto link = browser.link(200ms, 200ms);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TestSupport::runCall(*link, "type", arguments), ToolOutcome::error(text));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
}

// MARK: - Unix socket connect

// Each socket made is closed unless it is the one handed back.
TEST(AppLinkUnixSocket, PathLengthAndFailedCallsDecideTheOutcome) {
    std::string wide = "/";  // multi-byte characters count as their UTF-8 bytes: 1 + 34 * 3 = 103
    for (int i = 0; i < 34; ++i) wide += "\u25b8";
    struct Case { std::string path; int socketResult, connectResult; bool peerIsOwner, connects; };
    const std::vector<Case> cases = {
        {"/" + std::string(102, 'p'), 5, 0, true, true},
        {wide, 5, 0, true, true},
        {"/" + std::string(103, 'p'), 5, 0, true, false},
        {wide + "x", 5, 0, true, false},
        {"", 5, 0, true, false},
        {std::string("/tmp/a\0b", 8), 5, 0, true, false},
        {"/tmp/x.sock", -1, 0, true, false},
        {"/tmp/x.sock", 5, -1, true, false},
        {"/tmp/x.sock", 5, 0, false, false},  // another user's socket is no browser of the owner's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string path;
        int open = 0;
        AppLink::SocketCalls calls;
        calls.socket = [&] { return open += c.socketResult >= 0, c.socketResult; };
        calls.connect = [&](int, const void* address, unsigned length) {
            EXPECT_EQ(length, sizeof(sockaddr_un));
            path = static_cast<const sockaddr_un*>(address)->sun_path;
            return c.connectResult;
        };
        calls.close = [&](int) { --open; };
        calls.peerIsOwner = [&](int) { return c.peerIsOwner; };
        auto fd = AppLink::unixSocket(c.path, calls)();
        if (c.connects) EXPECT_EQ(std::pair(std::get<int>(fd), path), std::pair(5, c.path));
        else EXPECT_EQ(std::get<AppLink::LinkError>(fd), AppLink::LinkError::notRunning());
        EXPECT_EQ(open, c.connects ? 1 : 0);
    }
}
