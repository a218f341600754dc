// What `bosken-mcp install` writes, read back by the agent apps' own command-line tools (or, for
// the editors, by another JSONC parser), each from a file that already had the user's settings
// in it. Skipped where the tool isn't installed (.ci/run installs them from npm).

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport/InstallerTestSupport.hpp"
#include "TestSupport/ChildProcess.hpp"

namespace {

using Environment = TestSupport::ChildProcess::Environment;

// Prints "command <path>" for <file>'s <key>.bosken, or the parser's errors.
const std::string jsoncReader =
    "const j = require(process.argv[1]); const t = require('fs').readFileSync(process.argv[2], 'utf8');"
    "const e = []; const v = j.parse(t, e, {allowTrailingComma: process.argv[4] === '1'});"
    "const s = v && v[process.argv[3]] && v[process.argv[3]].bosken;"
    "console.log(e.length ? 'errors ' + JSON.stringify(e) : 'command ' + (s && s.command));";

struct ReadBack {
    const char* app;
    std::string config;    // under the test folder
    std::string original;  // the user's file before install
    Environment extra;     // for both runs; "@" stands for the test folder
    std::string tool;      // under node_modules/.bin, or "jsonc-parser"
    std::vector<std::string> arguments;
};

std::ostream& operator<<(std::ostream& out, const ReadBack& row) { return out << row.app; }

const ReadBack rows[] = {
    {"copilot", "copilot-home/mcp-config.json", "{\n  // mine\n  \"mcpServers\": {}\n}\n",
     {{"COPILOT_HOME", "@/copilot-home"}}, "copilot", {"mcp", "get", "bosken", "--json"}},
    {"opencode", "xdg/opencode/opencode.json",
     "{\n  \"$schema\": \"https://opencode.ai/config.json\",\n  // mine\n  \"autoupdate\": false,\n}\n",
     {{"XDG_CONFIG_HOME", "@/xdg"}, {"XDG_DATA_HOME", "@/xdg-data"}, {"XDG_CACHE_HOME", "@/xdg-cache"},
      {"XDG_STATE_HOME", "@/xdg-state"}},
     "opencode", {"mcp", "list"}},
    {"codex", "codex-home/config.toml", "model = \"o3\"\n", {{"CODEX_HOME", "@/codex-home"}}, "codex",
     {"mcp", "get", "bosken", "--json"}},
    {"gemini", "home/.gemini/settings.json", "{\n  // the theme\n  \"theme\": \"Default\"\n}\n", {}, "gemini",
     {"mcp", "list"}},
    {"claude-code", "home/.claude.json", "{\"numStartups\": 1}", {}, "claude", {"mcp", "get", "bosken"}},
    {"vscode", "home/Library/Application Support/Code/User/mcp.json",
     "{\n\t// mine\n\t\"servers\": {\n\t\t\"other\": {\"type\": \"stdio\", \"command\": \"x\"}\n\t}\n}\n", {},
     "jsonc-parser", {"servers", "0"}},
    {"zed", "home/.config/zed/settings.json", "// Zed settings\n{\n  \"theme\": \"One Dark\", /* mine */\n}\n", {},
     "jsonc-parser", {"context_servers", "1"}},
};

class AgentCLIReadBack : public TestSupport::TempDirTest, public testing::WithParamInterface<ReadBack> {};

TEST_P(AgentCLIReadBack, ToolReadsTheRegisteredHelper) {
    const auto& row = GetParam();
    const std::filesystem::path modules = BOSKEN_AGENT_CLIS_DIR;
    const bool parser = row.tool == "jsonc-parser";
    const auto tool = parser ? modules / "jsonc-parser" : modules / ".bin" / row.tool;
    if (!std::filesystem::exists(tool)) GTEST_SKIP() << row.tool << " isn't installed at " << tool.string();
    const std::string node = "/usr/bin/node";
    if (parser && !std::filesystem::exists(node)) GTEST_SKIP() << "node isn't installed at " << node;

    const auto helper = path("Applications/Bosken.app/Contents/Helpers/bosken-mcp");
    std::filesystem::create_directories(std::filesystem::path(helper).parent_path());
    std::filesystem::copy_file(BOSKEN_MCP_EXE, helper);
    std::filesystem::create_directories(path("home"));
    TestSupport::writeFile(path(row.config), row.original);

    Environment environment{{"HOME", path("home")}, {"PATH", path("bin")}};
    for (auto [key, value] : row.extra) {
        if (value.starts_with("@")) value = path(".") + value.substr(1);
        environment[key] = value;
    }
    TestSupport::ChildProcess install({helper, "install", "--app", row.app}, environment);
    install.closeStdin();
    ASSERT_EQ(install.exitCode(std::chrono::seconds(60)), 0) << install.errorOutput();

    environment["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::string> arguments{parser ? node : tool.string()};
    if (parser) arguments.insert(arguments.end(), {"-e", jsoncReader, tool.string(), path(row.config)});
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    TestSupport::ChildProcess reader(arguments, environment);
    reader.closeStdin();
    auto status = reader.exitCode(std::chrono::seconds(180));
    const std::string said = reader.output() + reader.errorOutput();
    EXPECT_EQ(status, 0) << said;
    if (parser) {
        EXPECT_EQ(reader.output(), "command " + helper + "\n");
    } else {
        EXPECT_NE(said.find(helper), std::string::npos) << said;
        EXPECT_NE(said.find("bosken"), std::string::npos) << said;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, AgentCLIReadBack, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<ReadBack>& info) {
                             std::string name = info.param.app;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
