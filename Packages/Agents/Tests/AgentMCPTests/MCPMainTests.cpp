#include <gtest/gtest.h>

#include <thread>

#include "AgentMCP/MCPMain.hpp"
#include "AgentWire/AgentWire.hpp"
#include "EndToEnd.hpp"

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
    struct Case { std::vector<std::string> arguments; MCPMain::Environment environment; std::string expected; };
    const std::vector<Case> cases = {
        {{"bosken-mcp"}, {}, "serve " + defaultSocket},
        {{"bosken-mcp", "--socket", "/x", "--socket", "/y"}, {{"BOSKEN_AGENT_SOCKET", "/e"}}, "serve /y"},
        {{"bosken-mcp"}, {{"BOSKEN_AGENT_SOCKET", "/tmp/a.sock"}}, "serve /tmp/a.sock"},
        {{"bosken-mcp", "--socket", "--version"}, {}, "serve --version"},
        {{"bosken-mcp", "--version", "--bogus"}, {}, "version"},
        {{"bosken-mcp", "-h"}, {}, "help"},
        {{"bosken-mcp", "--socket=/x"}, {}, unknown + "--socket=/x\n" + std::string(MCPMain::helpText)},
        {{"bosken-mcp", "install"}, {}, "install"},
        {{"bosken-mcp", "uninstall", "--all", "--version"}, {}, "uninstall --all --version"},
        {{"bosken-mcp", "--socket", "/s", "install"}, {}, unknown + "install\n" + std::string(MCPMain::helpText)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(MCPMain::parse(c.arguments, c.environment, fakeHome)), c.expected) << testing::PrintToString(c.arguments);
    }
    auto noHome = [](const MCPMain::Environment&) -> std::optional<std::string> { return std::nullopt; };
    EXPECT_EQ(describe(MCPMain::parse({"bosken-mcp"}, {}, noHome)),
              "fail couldn't tell your home directory; set HOME or use --socket <path>");
}

// The built executable, over pipes.

ChildProcess::Environment bareEnvironment() { return {{"HOME", "/nonexistent-home"}, {"PATH", "/usr/bin:/bin"}}; }

TEST(MCPMainProcess, VersionHelpAndUsageErrors) {
    const std::string help(MCPMain::helpText);
    struct Case { std::vector<std::string> arguments; int status; std::string out, err; };
    for (const auto& c : std::vector<Case>{
             {{"--version", "--nope"}, 0, "bosken-mcp 0.4.1 (wire 1)\n", ""},
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
    EXPECT_LT(EndToEndSupport::memoryBytes(p.pid(), "VmHWM:").value_or(0), 2 * limit);
    p.closeStdin();
    EXPECT_EQ(p.exitCode(std::chrono::seconds(60)), 0);
    EXPECT_EQ(p.output(), "");
}

}  // namespace
