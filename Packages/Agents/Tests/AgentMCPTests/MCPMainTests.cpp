#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "AgentMCP/MCPMain.hpp"
#include "AgentWire/AgentWire.hpp"
#include "AgentWire/JSON.hpp"
#include "TestSupport/ChildProcess.hpp"

namespace MCPMain = AgentMCP::MCPMain;
using TestSupport::ChildProcess;

namespace {

std::optional<std::string> fakeHome(const MCPMain::Environment&) { return "/Users/me"; }

const std::string defaultSocket = "/Users/me/Library/Application Support/Bosken/Agents/agent.sock";

std::string describe(const MCPMain::Command& command) {
    if (auto* s = std::get_if<MCPMain::Serve>(&command)) return "serve " + s->socketPath;
    if (std::holds_alternative<MCPMain::PrintVersion>(command)) return "version";
    if (std::holds_alternative<MCPMain::PrintHelp>(command)) return "help";
    if (auto* i = std::get_if<MCPMain::Install>(&command)) {
        std::string text = i->uninstall ? "uninstall" : "install";
        for (const auto& a : i->arguments) text += " " + a;
        return text;
    }
    return "fail " + std::get<MCPMain::UsageError>(command).message;
}

TEST(MCPMainParse, CommandLines) {
    const std::string unknown = "fail unknown option ";
    struct Case {
        std::vector<std::string> arguments;
        MCPMain::Environment environment;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"bosken-mcp"}, {}, "serve " + defaultSocket},
        {{"bosken-mcp"}, {{"BOSKEN_AGENT_SOCKET", "/tmp/a.sock"}}, "serve /tmp/a.sock"},
        {{"bosken-mcp"}, {{"BOSKEN_AGENT_SOCKET", ""}}, "serve "},
        {{"bosken-mcp", "--socket", "/x", "--socket", "/y"}, {{"BOSKEN_AGENT_SOCKET", "/e"}}, "serve /y"},
        {{"bosken-mcp", "--socket", "--version"}, {}, "serve --version"},
        {{"bosken-mcp", "--socket"}, {}, "fail --socket needs a path"},
        {{"bosken-mcp", "--version", "--bogus"}, {}, "version"},
        {{"bosken-mcp", "--bogus", "--version"}, {}, unknown + "--bogus\n" + std::string(MCPMain::helpText)},
        {{"bosken-mcp", "-h"}, {}, "help"},
        {{"bosken-mcp", "--socket=/x"}, {}, unknown + "--socket=/x\n" + std::string(MCPMain::helpText)},
        {{"bosken-mcp", "install"}, {}, "install"},
        {{"bosken-mcp", "install", "--app", "codex", "--version"}, {}, "install --app codex --version"},
        {{"bosken-mcp", "uninstall", "--all"}, {}, "uninstall --all"},
        {{"bosken-mcp", "--bogus", "install"}, {}, unknown + "--bogus\n" + std::string(MCPMain::helpText)},
        {{"bosken-mcp", "--socket", "/s", "install"}, {}, unknown + "install\n" + std::string(MCPMain::helpText)},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.arguments) joined += a + " ";
        EXPECT_EQ(describe(MCPMain::parse(c.arguments, c.environment, fakeHome)), c.expected) << joined;
    }
    auto noHome = [](const MCPMain::Environment&) -> std::optional<std::string> { return std::nullopt; };
    EXPECT_EQ(describe(MCPMain::parse({"bosken-mcp"}, {}, noHome)),
              "fail couldn't tell your home directory; set HOME or use --socket <path>");
}

// The built executable, over pipes.

ChildProcess::Environment bareEnvironment() { return {{"HOME", "/nonexistent-home"}, {"PATH", "/usr/bin:/bin"}}; }

TEST(MCPMainProcess, VersionHelpAndUsageErrors) {
    const std::string help(MCPMain::helpText);
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out, err;
    };
    for (const auto& c : std::vector<Case>{
             {{"--version", "--nope"}, 0, "bosken-mcp 0.4.1 (wire 1)\n", ""},
             {{"-h"}, 0, help + "\n", ""},
             {{"--socket"}, 2, "", "bosken-mcp: --socket needs a path\n"},
             {{"--nope", "--version"}, 2, "", "bosken-mcp: unknown option --nope\n" + help + "\n"},
         }) {
        std::vector<std::string> arguments{BOSKEN_MCP_EXE};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ChildProcess p(arguments, bareEnvironment());
        EXPECT_EQ(p.exitCode(), c.status) << c.arguments[0];
        EXPECT_EQ(p.output(), c.out);
        EXPECT_EQ(p.errorOutput(), c.err);
    }
}

TEST(MCPMainProcess, ScriptedSessionGivesExactLinesAndEndsWithStatusZero) {
    ChildProcess p({BOSKEN_MCP_EXE, "--socket", "/nonexistent/dir/agent.sock"}, bareEnvironment());
    ASSERT_TRUE(p.started());
    p.write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"2025-03-26\","
            "\"clientInfo\":{\"name\":\"test\",\"version\":\"1\"}}}\n"
            "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\r\n"
            "\n"
            "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n"
            "not json\n"
            "{\"jsonrpc\":\"2.0\",\"id\":\"c\",\"method\":\"tools/call\",\"params\":{\"name\":\"list_agent_tabs\"}}\n"
            "[{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"nope\"}]\n"
            "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"tools/list\"}");
    p.closeStdin();
    ASSERT_EQ(p.exitCode(), 0);
    std::vector<std::string> lines;
    std::string out = p.output();
    for (size_t start = 0, nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(out.substr(start, nl - start));
    }
    ASSERT_EQ(lines.size(), 6u) << out;
    EXPECT_EQ(lines[0].substr(0, 60), R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{")");
    EXPECT_NE(lines[0].find(R"("protocolVersion":"2025-03-26","serverInfo":{"name":"bosken","title":"Bosken","version":"0.4.1"}}})"),
              std::string::npos);
    EXPECT_EQ(lines[1], R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(lines[2], R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
    EXPECT_EQ(lines[3],
              "{\"id\":\"c\",\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"Bosken isn't running, or agent "
              "access is off. The owner turns it on in Bosken \xE2\x96\xB8 Settings \xE2\x96\xB8 General \xE2\x96\xB8 AI "
              "agents.\",\"type\":\"text\"}],\"isError\":true}}");
    EXPECT_EQ(lines[4], R"([{"error":{"code":-32601,"message":"Method not found: nope"},"id":3,"jsonrpc":"2.0"}])");
    auto tools = AgentWire::JSON::parsed(lines[5]);
    ASSERT_TRUE(tools);
    EXPECT_EQ((*(*tools)["result"])["tools"]->array()->size(), 7u);
    EXPECT_EQ(p.errorOutput(), "");
}

// A method name of a few MiB comes back in the error reply, more than the pipe holds and more
// than the input grows by at once: the reply must arrive whole. A client that stops reading
// must end the helper through a failed write, not SIGPIPE.
TEST(MCPMainProcess, ALargeReplyArrivesWholeAndAGoneReaderEndsTheHelperWithStatusZero) {
    const size_t size = 2u << 20;
    const std::string request = "{\"id\":1,\"method\":\"" + std::string(size, 'm') + "\"}\n";
    for (bool reads : {true, false}) {
        ChildProcess p({BOSKEN_MCP_EXE}, bareEnvironment());
        if (!reads) p.closeStdout();
        std::thread writer([&] {
            p.write(request);
            p.closeStdin();
        });
        if (reads) {
            auto line = p.readLine(std::chrono::seconds(120));
            EXPECT_EQ(line.value_or(""), R"({"error":{"code":-32601,"message":"Method not found: )" + std::string(size, 'm') +
                                 R"("},"id":1,"jsonrpc":"2.0"})");
        }
        EXPECT_EQ(p.exitCode(std::chrono::seconds(60)), 0) << "reads: " << reads;
        writer.join();
    }
}

// The helper's peak resident memory so far, in bytes (Linux only; 0 elsewhere).
size_t peakResidentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    for (size_t kib; status >> key;) {
        if (key == "VmHWM:" && status >> kib) return kib * 1024;
        std::getline(status, key);
    }
    return 0;
}

TEST(MCPMainProcess, ALineOverTheInputLimitIsAParseErrorHeldNowhereAndTheNextRequestIsAnswered) {
    const std::string parseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
    const size_t limit = AgentWire::maxResultBytes;
    // Outside the sanitizers the address space is limited too, so holding such a line would fail.
    std::string command = "exec " + std::string(BOSKEN_MCP_EXE);
#if !defined(__SANITIZE_ADDRESS__)
    command = "ulimit -v " + std::to_string(3 * limit / 1024) + " && " + command;
#endif
    ChildProcess p({"/bin/sh", "-c", command}, bareEnvironment());
    std::string chunk(1 << 20, 'x');
    std::thread writer([&] {
        // One byte over the limit, then a request; then 100 MB with no line feed at all.
        for (size_t sent = 0; sent < limit; sent += chunk.size()) p.write(chunk);
        p.write("y\n{\"id\":2,\"method\":\"ping\"}\n");
        for (int i = 0; i < 100; ++i) p.write(chunk);
    });
    EXPECT_EQ(p.readLine(std::chrono::seconds(120)), parseError);
    EXPECT_EQ(p.readLine(std::chrono::seconds(120)), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(p.readLine(std::chrono::seconds(120)), parseError);
    writer.join();
#if defined(__linux__)
    EXPECT_LT(peakResidentBytes(p.pid()), 2 * limit);
#endif
    p.closeStdin();
    EXPECT_EQ(p.exitCode(std::chrono::seconds(60)), 0);
    EXPECT_EQ(p.output(), "");
}

}  // namespace
