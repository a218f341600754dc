#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "AgentMCP/AppLink.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/AgentWire.hpp"
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

std::string line(const AgentMessage& message) { return message.line(); }
std::string welcome() { return line(AgentMessage::welcome("s")); }
std::string pending() { return line(AgentMessage::pending()); }
std::string result(int64_t id, const std::string& text, bool isError = false) {
    return line(AgentMessage::result(id, {JSON::object({{"type", "text"}, {"text", text}})}, isError));
}
ToolOutcome textOutcome(const std::string& text) {
    return ToolOutcome{{JSON::object({{"type", "text"}, {"text", text}})}, false};
}

// What the browser sends on one connection: bytes written at once (or in small pieces,
// so the helper's reads split them), then optionally a close.
struct Script {
    std::string bytes;
    bool closeAfter = false;
    size_t pieces = 0;                 // 0: one write
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

    AppLink::Connect connect() {
        return [this]() -> std::variant<int, AppLink::LinkError> {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return AppLink::LinkError::notRunning();
            size_t index = static_cast<size_t>(connects++);
            ends_.push_back(fds[1]);
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back();
            }
            Script script = index < scripts.size() ? scripts[index] : Script{};
            int end = fds[1];
            writers_.emplace_back([this, end, index, script] { play(end, index, script); });
            return fds[0];
        };
    }

    AppLink::Preflight preflight() {
        return [this]() -> std::optional<std::string> {
            size_t index = static_cast<size_t>(preflights++);
            return index < preflightAnswers.size() ? preflightAnswers[index] : std::nullopt;
        };
    }

    // Writes more to connection `index` from the test itself (small amounts only).
    void send(size_t index, const std::string& bytes) {
        ASSERT_EQ(::send(ends_.at(index), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // The lines the helper sent on connection `index`, once `count` have arrived (or after 2 s).
    std::vector<std::string> lines(size_t index, size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 2s;
        while (true) {
            {
                std::lock_guard lock(mutex_);
                if (received_.at(index).size() >= count || std::chrono::steady_clock::now() > deadline) {
                    return received_.at(index);
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    int end(size_t index) const { return ends_.at(index); }

private:
    std::vector<int> ends_;
    std::mutex mutex_;
    std::vector<std::vector<std::string>> received_;
    std::vector<std::thread> writers_;

    // Writes the script, then records the helper's lines and answers them, until the helper
    // closes its end.
    void play(int fd, size_t index, const Script& script) {
        size_t step = script.pieces ? (script.bytes.size() + script.pieces - 1) / script.pieces : script.bytes.size();
        for (size_t at = 0; at < script.bytes.size();) {
            size_t count = std::min(step, script.bytes.size() - at);
            ssize_t n = ::send(fd, script.bytes.data() + at, count, MSG_NOSIGNAL);
            if (n <= 0) return;  // the link closed its end
            at += static_cast<size_t>(n);
            if (script.pieces) std::this_thread::sleep_for(2ms);
        }
        if (script.closeAfter) ::shutdown(fd, SHUT_WR);
        std::string pending;
        char chunk[65536];
        size_t seen = 0;
        while (true) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                {
                    std::lock_guard lock(mutex_);
                    received_[index].push_back(pending.substr(0, nl));
                }
                pending.erase(0, nl + 1);
                if (seen < script.replies.size()) {
                    const std::string& reply = script.replies[seen];
                    if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return;
                }
                ++seen;
            }
        }
    }
};

class AppLinkTest : public ::testing::Test {
protected:
    FakeBrowser browser;
    std::unique_ptr<AppLink> link;

    void makeLink(std::chrono::milliseconds approvalWait = 2000ms, std::chrono::milliseconds callTimeout = 2000ms) {
        link = std::make_unique<AppLink>(browser.connect(), browser.preflight(), approvalWait, callTimeout);
        link->clientDidIntroduce("test-agent", "1.0");
    }

    ToolOutcome call(const std::string& tool = "list_agent_tabs", JSON arguments = JSON(JSON::Object{})) {
        return link->run(tool, arguments);
    }

    static std::string hello() { return R"({"client":"test-agent","clientVersion":"1.0","type":"hello","version":1})"; }
    static std::string callLine(int64_t id, const std::string& tool = "list_agent_tabs") {
        return R"({"arguments":{},"id":)" + std::to_string(id) + R"(,"tool":")" + tool + R"(","type":"call"})";
    }
};

}  // namespace

TEST(AppLinkErrors, EachCaseHasItsWholeMessage) {
    using E = AppLink::LinkError;
    EXPECT_EQ(E::refused("The owner said no.").message(), "The owner said no.");
    EXPECT_EQ(E::notRunning().message(), notRunningText);
    EXPECT_EQ(E::stillWaiting().message(), stillWaitingText);
    EXPECT_EQ(E::connectionLost().message(), connectionLostText);
    EXPECT_EQ(E::timedOut().message(), timedOutText);
}

TEST_F(AppLinkTest, ConnectsOnlyOnTheFirstCallThenHelloThenCall) {
    browser.scripts = {{welcome() + result(1, "tab-1")}};
    makeLink();
    EXPECT_EQ(browser.connects, 0);
    EXPECT_EQ(call("open_tab", JSON::object({{"url", "https://a.example"}})), textOutcome("tab-1"));
    EXPECT_EQ(browser.connects, 1);
    EXPECT_EQ(browser.preflights, 1);
    EXPECT_EQ(link->state(), AppLink::State::ready);
    EXPECT_EQ(browser.lines(0, 2), (std::vector<std::string>{
                                    hello(), R"({"arguments":{"url":"https://a.example"},"id":1,"tool":"open_tab","type":"call"})"}));
}

TEST_F(AppLinkTest, PassesContentAndErrorFlagUnchanged) {
    JSON image = JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", "iVBORw0KGgo="}});
    browser.scripts = {{"", false, 0, {welcome(), line(AgentMessage::result(1, {image, JSON(42)}, true)),
                                       line(AgentMessage::result(2, {}, false))}}};
    makeLink();
    EXPECT_EQ(call(), (ToolOutcome{{image, JSON(42)}, true}));
    EXPECT_EQ(call(), (ToolOutcome{{}, false}));
}

TEST_F(AppLinkTest, PendingThenNothingIsStillWaitingAndTheNextCallWaitsWithoutANewHello) {
    browser.scripts = {{pending() + pending()}};
    makeLink(100ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(), ToolOutcome::error(stillWaitingText));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    EXPECT_EQ(link->state(), AppLink::State::asking);
    EXPECT_EQ(link->lastCallID(), 0);

    // The owner decided meanwhile: the welcome is already queued when the next call comes.
    browser.send(0, welcome() + result(1, "done"));
    EXPECT_EQ(call(), textOutcome("done"));
    EXPECT_EQ(browser.connects, 1);
    EXPECT_EQ(browser.preflights, 1);
    EXPECT_EQ(browser.lines(0, 2), (std::vector<std::string>{hello(), callLine(1)}));
}

TEST_F(AppLinkTest, ResultsWithAnotherIdAreSkipped) {
    browser.scripts = {{welcome() + result(7, "late answer") + pending() + result(1, "mine")}};
    makeLink();
    EXPECT_EQ(call(), textOutcome("mine"));
}

TEST_F(AppLinkTest, StoppedBetweenCallsReconnectsWithANewHelloAndIdsKeepRising) {
    browser.scripts = {{welcome() + result(1, "first") + line(AgentMessage::stopped("Paused."))},
                       {welcome() + result(2, "second")}};
    makeLink();
    EXPECT_EQ(call(), textOutcome("first"));
    std::this_thread::sleep_for(50ms);  // the stop arrives between the calls
    EXPECT_EQ(call(), textOutcome("second"));
    EXPECT_EQ(browser.connects, 2);
    EXPECT_EQ(browser.preflights, 2);
    EXPECT_EQ(browser.lines(1, 2), (std::vector<std::string>{hello(), callLine(2)}));
}

TEST_F(AppLinkTest, LateResultsQueuedBetweenCallsAreDrained) {
    browser.scripts = {{welcome()}};
    makeLink(2000ms, 100ms);
    EXPECT_EQ(call(), ToolOutcome::error(timedOutText));
    EXPECT_EQ(link->state(), AppLink::State::closed);
    // The time-out closed the connection: the next call starts a new one, with the next id.
    browser.scripts.push_back({welcome() + result(1, "too late") + result(2, "second")});
    EXPECT_EQ(call(), textOutcome("second"));
    EXPECT_EQ(browser.connects, 2);
}

TEST_F(AppLinkTest, BrowserThatQuitIsFoundAgainOnTheNextCall) {
    browser.scripts = {{welcome() + result(1, "one"), true}, {welcome() + result(2, "two")}};
    makeLink();
    EXPECT_EQ(call(), textOutcome("one"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(call(), textOutcome("two"));
    EXPECT_EQ(browser.connects, 2);
}

TEST_F(AppLinkTest, DenialGivesTheReasonOrTheDefaultOrPreflightsText) {
    struct Case {
        const char* name;
        std::string denial;
        std::vector<std::optional<std::string>> preflightAnswers;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"with a reason", R"({"type":"denied","reason":"Not this agent."})" "\n", {}, "Not this agent."},
        {"without a reason", R"({"type":"denied"})" "\n", {}, "Bosken refused the connection."},
        {"after an update", R"({"type":"denied","reason":"No."})" "\n", {std::nullopt, "Bosken was updated."},
         "Bosken was updated."},
    };
    for (const auto& c : cases) {
        FakeBrowser fresh;
        fresh.scripts = {{pending() + c.denial}};
        fresh.preflightAnswers = c.preflightAnswers;
        AppLink denied(fresh.connect(), fresh.preflight(), 2000ms, 2000ms);
        EXPECT_EQ(denied.run("click", JSON()), ToolOutcome::error(c.text)) << c.name;
        EXPECT_EQ(denied.state(), AppLink::State::closed) << c.name;
        EXPECT_EQ(fresh.preflights, 2) << c.name;
    }
}

TEST_F(AppLinkTest, PreflightTextMeansNoConnection) {
    browser.preflightAnswers = {"Bosken was updated; restart your agent app."};
    makeLink();
    EXPECT_EQ(call(), ToolOutcome::error("Bosken was updated; restart your agent app."));
    EXPECT_EQ(browser.connects, 0);
    EXPECT_EQ(link->state(), AppLink::State::closed);
}

TEST_F(AppLinkTest, StoppedAtHelloOrDuringACallGivesTheReason) {
    browser.scripts = {{R"({"type":"stopped","reason":"Agent access is off."})" "\n"},
                       {welcome() + R"({"type":"stopped"})" "\n"}};
    makeLink();
    EXPECT_EQ(call(), ToolOutcome::error("Agent access is off."));
    EXPECT_EQ(link->state(), AppLink::State::closed);
    EXPECT_EQ(call(), ToolOutcome::error("The owner stopped agent access."));
    EXPECT_EQ(link->state(), AppLink::State::closed);
}

TEST_F(AppLinkTest, BrokenAnswersLoseTheConnectionAndTheNextCallReconnects) {
    struct Case {
        const char* name;
        Script script;
    };
    std::string overlong = R"({"type":"result","id":1,"content":[{"type":"text","text":")";
    overlong += std::string(AgentWire::maxResultBytes + 1 - overlong.size() - 4, 'x') + "\"}]}";
    ASSERT_EQ(overlong.size(), AgentWire::maxResultBytes + 1);
    const std::vector<Case> cases = {
        {"half a line, then a close", {welcome() + R"({"type":"result","id":1,"con)", true}},
        {"an undecodable line", {welcome() + "<html>\n"}},
        {"a line that is not a message", {welcome() + R"({"type":"result"})" "\n"}},
        {"a close before welcome", {pending(), true}},
        {"a line over 48 MiB", {welcome() + overlong + "\n"}},
    };
    for (const auto& c : cases) {
        FakeBrowser fresh;
        // Whatever id the next call gets (a failure before sending used none), it is answered.
        fresh.scripts = {c.script, {welcome() + result(1, "again") + result(2, "again")}};
        AppLink broken(fresh.connect(), fresh.preflight(), 5000ms, 5000ms);
        EXPECT_EQ(broken.run("click", JSON()), ToolOutcome::error(connectionLostText)) << c.name;
        EXPECT_EQ(broken.state(), AppLink::State::closed) << c.name;
        EXPECT_EQ(broken.run("click", JSON()), textOutcome("again")) << c.name;
        EXPECT_EQ(fresh.connects, 2) << c.name;
    }
}

TEST_F(AppLinkTest, ALineOfExactlyFortyEightMebibytesArrivesWhole) {
    std::string head = R"({"type":"result","id":1,"content":[{"type":"text","text":")";
    std::string text(AgentWire::maxResultBytes - head.size() - 4, 'y');
    browser.scripts = {{welcome() + head + text + "\"}]}\n"}};
    makeLink(5000ms, 10000ms);
    EXPECT_EQ(call(), textOutcome(text));
}

TEST_F(AppLinkTest, SplitAndMergedReadsAndEmptyLinesAreFramed) {
    browser.scripts = {{"\n" + welcome() + "\n\n" + result(1, "split across reads") + "\n", false, 9}};
    makeLink();
    EXPECT_EQ(call(), textOutcome("split across reads"));
}

TEST_F(AppLinkTest, CallToABrowserThatStoppedReadingTimesOut) {
    browser.scripts = {{welcome()}};
    makeLink(2000ms, 150ms);
    JSON huge = JSON::object({{"text", std::string(16 << 20, 'z')}});  // far more than socket buffers hold
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call("type", huge), ToolOutcome::error(timedOutText));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(link->state(), AppLink::State::closed);
}

TEST_F(AppLinkTest, AFloodOfPendingCannotHoldTheWaitPastItsDeadline) {
    browser.scripts = {{std::string()}};
    makeLink(200ms);
    std::atomic<bool> flooding = true;
    std::thread flood;
    // The flood starts once the link has connected.
    auto connect = browser.connect();
    link = std::make_unique<AppLink>(
        [&]() {
            auto fd = connect();
            int end = browser.end(0);
            flood = std::thread([end, &flooding] {
                std::string burst;
                for (int i = 0; i < 1000; ++i) burst += pending();
                while (flooding) {
                    if (::send(end, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
                }
            });
            return fd;
        },
        browser.preflight(), 200ms, 200ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(), ToolOutcome::error(stillWaitingText));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    flooding = false;
    flood.join();
}

TEST_F(AppLinkTest, ConnectFailureIsNotRunningAndTheNextCallTriesAgain) {
    int attempts = 0;
    AppLink refused([&]() -> std::variant<int, AppLink::LinkError> { ++attempts; return AppLink::LinkError::notRunning(); },
                    [] { return std::optional<std::string>(); }, 1s, 1s);
    EXPECT_EQ(refused.run("click", JSON()), ToolOutcome::error(notRunningText));
    EXPECT_EQ(refused.run("click", JSON()), ToolOutcome::error(notRunningText));
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(refused.lastCallID(), 0);
}

TEST_F(AppLinkTest, HelloCarriesTheClientKnownAtConnectTime) {
    browser.scripts = {{"", false, 0, {welcome(), result(1, "a"), result(2, "b")}}};
    makeLink();
    link->clientDidIntroduce("first", "1");
    EXPECT_EQ(call(), textOutcome("a"));
    link->clientDidIntroduce("second", "2");  // takes effect at the next connection only
    EXPECT_EQ(call(), textOutcome("b"));
    auto lines = browser.lines(0, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], R"({"client":"first","clientVersion":"1","type":"hello","version":1})");
}

// MARK: - Unix socket connect

namespace {

struct RecordedCalls {
    std::vector<std::string> log;
    std::string path;
    unsigned length = 0;
    int socketResult = 5;
    int connectResult = 0;

    AppLink::SocketCalls calls() {
        AppLink::SocketCalls c;
        c.socket = [this] {
            log.push_back("socket");
            return socketResult;
        };
        c.connect = [this](int fd, const void* address, unsigned len) {
            log.push_back("connect " + std::to_string(fd));
            const auto* un = static_cast<const sockaddr_un*>(address);
            EXPECT_EQ(un->sun_family, AF_UNIX);
            path = un->sun_path;
            length = len;
            return connectResult;
        };
        c.close = [this](int fd) { log.push_back("close " + std::to_string(fd)); };
        return c;
    }
};

using Log = std::vector<std::string>;

}  // namespace

TEST(AppLinkUnixSocket, PathLengthDecidesBeforeAnySystemCall) {
    std::string path103 = "/" + std::string(102, 'p');
    std::string path104 = "/" + std::string(103, 'p');
    {
        RecordedCalls recorded;
        auto fd = AppLink::unixSocket(path103, recorded.calls())();
        ASSERT_TRUE(std::holds_alternative<int>(fd));
        EXPECT_EQ(std::get<int>(fd), 5);
        EXPECT_EQ(recorded.log, (Log{"socket", "connect 5"}));
        EXPECT_EQ(recorded.path, path103);
        EXPECT_EQ(recorded.length, sizeof(sockaddr_un));
    }
    for (const std::string& refused : {path104, std::string(), std::string("/tmp/a\0b", 8)}) {
        RecordedCalls recorded;
        auto fd = AppLink::unixSocket(refused, recorded.calls())();
        EXPECT_EQ(std::get<AppLink::LinkError>(fd), AppLink::LinkError::notRunning()) << refused;
        EXPECT_EQ(recorded.log, Log{}) << refused;
    }
    // Multi-byte characters count as their UTF-8 bytes: 34 three-byte characters plus "/" is 103.
    std::string wide = "/";
    for (int i = 0; i < 34; ++i) wide += "\u25b8";
    RecordedCalls recorded;
    EXPECT_TRUE(std::holds_alternative<int>(AppLink::unixSocket(wide, recorded.calls())()));
    RecordedCalls over;
    EXPECT_FALSE(std::holds_alternative<int>(AppLink::unixSocket(wide + "x", over.calls())()));
}

TEST(AppLinkUnixSocket, FailedSocketOrConnectIsNotRunning) {
    RecordedCalls noSocket;
    noSocket.socketResult = -1;
    EXPECT_EQ(std::get<AppLink::LinkError>(AppLink::unixSocket("/tmp/x.sock", noSocket.calls())()),
              AppLink::LinkError::notRunning());
    EXPECT_EQ(noSocket.log, Log{"socket"});

    RecordedCalls noPeer;
    noPeer.connectResult = -1;
    EXPECT_EQ(std::get<AppLink::LinkError>(AppLink::unixSocket("/tmp/x.sock", noPeer.calls())()),
              AppLink::LinkError::notRunning());
    EXPECT_EQ(noPeer.log, (Log{"socket", "connect 5", "close 5"}));
}

class AppLinkLiveSocket : public TestSupport::TempDirTest {};

TEST_F(AppLinkLiveSocket, ConnectsToAListeningSocketAndNotToAMissingOne) {
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
