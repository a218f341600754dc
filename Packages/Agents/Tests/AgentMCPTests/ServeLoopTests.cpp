// The serve loop in this process, on pipes, with the browser's end of a socket pair played by
// the test: what needs timings shorter than the helper's own.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "AgentMCP/ServeLoop.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/AgentWire.hpp"
#include "AgentWire/FileDescriptor.hpp"

using namespace AgentMCP;
using AgentWire::AgentMessage;
using AgentWire::JSON;
using namespace std::chrono_literals;

namespace {

// The next line from `fd`, or "<none>" after 10 s.
std::string readLine(int fd, std::string& buffer) {
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
        if (auto nl = buffer.find('\n'); nl != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char chunk[4096];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    return "<none>";
}

void writeLine(int fd, const std::string& line) {
    std::string bytes = line.back() == '\n' ? line : line + "\n";
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(ServeLoop, ACallWithATokenHearsStillWaitingUntilItsResultAndNothingAfter) {
    int in[2], out[2], browser[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, browser), 0);
    AgentWire::FileDescriptor inReader(in[0]), outReader(out[0]), browserEnd(browser[1]);
    InputLines input(in[0], "", AgentWire::maxResultBytes);
    ReplyWriter output(out[1]);
    AppLink link([&]() -> std::variant<int, AppLink::LinkError> { return browser[0]; },
                 [] { return std::optional<std::string>(); }, 5s, 5s);
    MCPServer server("0.4.1");
    ServeLoop loop(server, link, input, output, ServeLoop::Limits{64, 1u << 20, 30ms});
    int status = -1;
    std::thread serving([&] { status = loop.run(); });

    std::string fromBrowser, fromLoop;
    writeLine(in[1], R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_agent_tabs","_meta":{"progressToken":"s"}}})");
    EXPECT_EQ(readLine(browser[1], fromBrowser).substr(0, 22), R"({"client":"","clientVe)");
    writeLine(browser[1], AgentMessage::welcome("s").line());
    EXPECT_EQ(readLine(browser[1], fromBrowser), R"({"arguments":{},"id":1,"tool":"list_agent_tabs","type":"call"})");
    for (int count = 1; count <= 2; ++count) {
        EXPECT_EQ(JSON::parsed(readLine(out[0], fromLoop))->data(),
                  R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"message":"Still waiting for Bosken.","progress":)" +
                      std::to_string(count) + R"(,"progressToken":"s"}})");
    }
    writeLine(browser[1], AgentMessage::result(1, {}, false).line());
    std::string reply;
    do reply = readLine(out[0], fromLoop);  // a notice may have been written just before the result
    while (reply.find("notifications/progress") != std::string::npos);
    EXPECT_EQ(reply, R"({"id":1,"jsonrpc":"2.0","result":{"content":[],"isError":false}})");
    ::close(in[1]);
    serving.join();
    EXPECT_EQ(status, 0);
    ::close(out[1]);
    EXPECT_EQ(readLine(out[0], fromLoop), "<none>");
}

}  // namespace
