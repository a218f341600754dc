// Merging the server entry into large configuration files: a 5 MiB JSON settings file with
// thousands of unrelated members and a 1 MiB config.toml. Both must stay well under 50 ms.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "AgentSetup/JSONMCPConfig.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"

namespace {

using AgentWire::JSON;

const std::string kHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

// About `target` bytes of settings: projects with histories, numbers of every form, nested
// arrays, escapes and non-ASCII text, plus a few other MCP servers.
std::string largeJSON(size_t target) {
    std::string out = "{\n  \"numStartups\": 9007199254740993,\n  \"mcpServers\": {\n";
    for (int i = 0; i < 20; ++i)
        out += "    \"server" + std::to_string(i) + "\": {\"command\": \"/usr/local/bin/tool" + std::to_string(i) +
               "\", \"args\": [\"--port\", \"" + std::to_string(8000 + i) + "\"], \"env\": {\"TOKEN\": \"x\"}},\n";
    out += "    \"bosken\": {\"command\": \"/Volumes/Old/bosken-mcp\", \"args\": []}\n  },\n  \"projects\": {\n";
    for (int i = 0; out.size() < target; ++i) {
        out += "    \"/Users/me/src/project-" + std::to_string(i) + "\": {\n";
        out += "      \"allowedTools\": [\"Bash(git status)\", \"Read\", \"Edit\"],\n";
        out += "      \"history\": [{\"display\": \"fix the \\\"flaky\\\" test in caf\xC3\xA9\\/menu \\u2014 again\", "
               "\"pastedContents\": {}}, {\"display\": \"run it\\n\\ttwice\"}],\n";
        out += "      \"lastCost\": 0.12345678901234567890, \"lastDuration\": 1.5e3, \"lastTokens\": " +
               std::to_string(123456789 + i) + ",\n";
        out += "      \"trusted\": true, \"mcpContextUris\": [], \"exampleFiles\": null\n    },\n";
    }
    out += "    \"/Users/me/last\": {}\n  }\n}\n";
    return out;
}

// About `target` bytes of TOML: profiles, servers with env tables, comments, multi-line strings
// and arrays, with the server's table in the middle.
std::string largeTOML(size_t target) {
    std::string out = "# Codex settings\nmodel = \"o3\"\napproval_policy = \"on-request\"\n\n";
    bool placed = false;
    for (int i = 0; out.size() < target; ++i) {
        if (!placed && out.size() > target / 2) {
            out += "[mcp_servers.bosken]\ncommand = \"/Volumes/Old/bosken-mcp\"\nargs = [\n  \"--old\",\n]\n\n";
            out += "[mcp_servers.bosken.env]\nBOSKEN_TRACE = \"1\"\n\n";
            placed = true;
        }
        std::string n = std::to_string(i);
        out += "# server " + n + "\n[mcp_servers.tool" + n + "]\ncommand = 'C:\\tools\\tool" + n + ".exe'\n";
        out += "args = [\"--port\", \"" + n + "\", # the port\n  \"--verbose\"]\n";
        out += "env = { TOKEN = \"x\", NAME = \"caf\xC3\xA9 \\\"" + n + "\\\"\" }\n";
        out += "notes = \"\"\"\nA longer note about tool " + n + "\nspread over lines [not a table]\n\"\"\"\n\n";
        out += "[profiles.p" + n + "]\nmodel = \"gpt-5\"\nmodel_reasoning_effort = \"high\"\n\n";
    }
    return out;
}

void BM_JSONMerge5MiB(benchmark::State& state) {
    const std::optional<std::string> file = largeJSON(5 << 20);
    const JSON entry = JSON::object({{"command", JSON(kHelper)}, {"args", JSON::array({})}});
    for (auto _ : state) {
        auto result = AgentSetup::JSONMCPConfig::merged(file, {}, "bosken", entry);
        if (!std::holds_alternative<std::string>(result)) state.SkipWithError("the merge refused the file");
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size()));
}
BENCHMARK(BM_JSONMerge5MiB)->Unit(benchmark::kMillisecond);

void BM_JSONEntry5MiB(benchmark::State& state) {
    const std::optional<std::string> file = largeJSON(5 << 20);
    for (auto _ : state) benchmark::DoNotOptimize(AgentSetup::JSONMCPConfig::entry(file, {}, "bosken"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size()));
}
BENCHMARK(BM_JSONEntry5MiB)->Unit(benchmark::kMillisecond);

void BM_TOMLMerge1MiB(benchmark::State& state) {
    const std::optional<std::string> file = largeTOML(1 << 20);
    for (auto _ : state) {
        auto result = AgentSetup::TOMLMCPConfig::merged(file, "bosken", kHelper);
        if (!std::holds_alternative<std::string>(result)) state.SkipWithError("the merge refused the file");
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size()));
}
BENCHMARK(BM_TOMLMerge1MiB)->Unit(benchmark::kMillisecond);

void BM_TOMLLocate1MiB(benchmark::State& state) {
    const std::optional<std::string> file = largeTOML(1 << 20);
    for (auto _ : state) {
        auto lines = AgentSetup::TOMLMCPConfig::split(*file);
        benchmark::DoNotOptimize(AgentSetup::TOMLMCPConfig::locate(lines, "bosken"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size()));
}
BENCHMARK(BM_TOMLLocate1MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
