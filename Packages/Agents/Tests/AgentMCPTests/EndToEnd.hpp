#pragma once

// The built helper and the stand-in browser as real processes, driven through the helper's
// standard input and output as an agent app would, each test in a folder of its own.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AgentWire/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"
#include "TestSupport/TempDir.hpp"

namespace EndToEndSupport {

using namespace std::chrono_literals;
using TestSupport::ChildProcess;

inline const std::string notRunningText =
    "Bosken isn't running, or agent access is off. The owner turns it on in Bosken \u25b8 Settings \u25b8 General \u25b8 AI agents.";

inline std::string toolCall(int id, const std::string& tool, const std::string& arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
           R"(","arguments":)" + arguments + "}}";
}
inline std::string openTab(int id, const std::string& address, const std::string& token = "") {
    return toolCall(id, "open_tab", R"({"url":")" + address + "\"}" + (token.empty() ? "" : R"(,"_meta":{"progressToken":)" + token + "}"));
}
inline std::string ping(int id) { return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})"; }
inline std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }

// The reply the helper writes for a tool call whose outcome is one text item.
inline std::string textReply(int id, const std::string& text, bool isError) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" + AgentWire::JSON(text).data() +
           R"(,"type":"text"}],"isError":)" + (isError ? "true" : "false") + "}}";
}

// What the stand-in logs: the helper's hello and its calls.
inline std::string hello(const std::string& client, const std::string& version) {
    return R"({"client":)" + AgentWire::JSON(client).data() + R"(,"clientVersion":")" + version + R"(","type":"hello","version":1})";
}
inline std::string callLine(int id, const std::string& tool, const std::string& arguments) {
    return R"({"arguments":)" + arguments + R"(,"id":)" + std::to_string(id) + R"(,"tool":")" + tool + R"(","type":"call"})";
}
inline std::string opened(int id, const std::string& address) { return callLine(id, "open_tab", R"({"url":")" + address + "\"}"); }

// A memory figure of process `pid` in bytes ("VmRSS:" resident now, "VmHWM:" its peak), where
// the platform tells it (/proc on Linux).
inline std::optional<size_t> memoryBytes(pid_t pid, const std::string& figure) {
    std::istringstream status(TestSupport::readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string key; status >> key;)
        if (size_t kib; key == figure && status >> kib) return kib * 1024;
    return std::nullopt;
}

class EndToEnd : public TestSupport::TempDirTest {
protected:
    std::string socket = path("agent.sock");
    std::string log = path("standin.log");
    std::string program = BOSKEN_MCP_EXE;  // the helper's file

    // Starts the stand-in browser with `options` and waits until it listens.
    std::unique_ptr<ChildProcess> startBrowser(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments = {BOSKEN_STANDIN_EXE, "--socket", socket, "--log", log};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto browser = std::make_unique<ChildProcess>(arguments);
        EXPECT_EQ(browser->readLine(20s), std::optional<std::string>("ready")) << browser->errorOutput();
        return browser;
    }
    void stopBrowser(ChildProcess& browser) const {
        ::kill(browser.pid(), SIGTERM);
        EXPECT_EQ(browser.exitCode(20s), std::optional<int>(0));
        EXPECT_FALSE(std::filesystem::exists(socket)) << "the stand-in left its socket file";
    }
    std::unique_ptr<ChildProcess> startHelper(std::optional<ChildProcess::Environment> environment = {}) {
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{program, "--socket", socket}, environment);
        EXPECT_TRUE(child->started());
        return child;
    }
    static std::string exchange(ChildProcess& child, const std::string& request, std::chrono::seconds wait = 60s) {
        EXPECT_TRUE(child.write(request + "\n"));
        return child.readLine(wait).value_or("<no reply> " + child.errorOutput());
    }
    // Ends the helper's input: it must end cleanly with no further reply.
    static void finish(ChildProcess& child) {
        child.closeStdin();
        EXPECT_EQ(child.exitCode(20s), std::optional<int>(0));
        EXPECT_EQ(child.output(), "") << "a reply nobody asked for";
        EXPECT_EQ(child.errorOutput(), "");
    }
    // The helper's lines as the stand-in logged them.
    std::vector<std::string> logged() const {
        std::vector<std::string> lines;
        std::istringstream all(TestSupport::readFile(log));
        for (std::string line; std::getline(all, line);) lines.push_back(line);
        return lines;
    }
    // Waits until the stand-in has logged `count` lines from the helper.
    void waitForLogged(size_t count) const {
        for (auto until = std::chrono::steady_clock::now() + 20s; logged().size() < count && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(5ms);
        ASSERT_EQ(logged().size(), count);
    }
};

}  // namespace EndToEndSupport
