// JSON and MCP request handling. Large-message figures are compared with copying the same
// bytes into newly allocated memory in the same run: first touches of fresh memory dominate
// on these machines, so absolute figures mislead.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

#include "AgentMCP/MCPServer.hpp"
#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/JSON.hpp"
#include "SettingsFile.hpp"

using AgentWire::JSON;

namespace {

// A tool result as the browser sends it: one object whose content is one base64 text.
std::string toolResult(size_t bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string data(bytes, 'A');
    for (size_t i = 0; i < bytes; ++i) data[i] = alphabet[(i * 2654435761u >> 7) % 64];
    return JSON::object({{"type", "result"},
                         {"id", 7},
                         {"isError", false},
                         {"content", JSON::array({JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", data}})})}})
        .data();
}

void CopyIntoFreshMemory(benchmark::State& state) {
    std::string text = toolResult(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<char[]> fresh(new char[text.size()]);
        std::memcpy(fresh.get(), text.data(), text.size());
        benchmark::DoNotOptimize(fresh.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Parse(benchmark::State& state) {
    std::string text = toolResult(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        auto value = JSON::parsed(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Serialize(benchmark::State& state) {
    JSON value = *JSON::parsed(toolResult(static_cast<size_t>(state.range(0))));
    size_t size = 0;
    for (auto _ : state) {
        std::string text = value.data();
        size = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

BENCHMARK(CopyIntoFreshMemory)->Arg(1 << 20)->Arg(40 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(Parse)->Arg(1 << 20)->Arg(40 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(Serialize)->Arg(1 << 20)->Arg(40 << 20)->Unit(benchmark::kMillisecond);

void ParseSettings(benchmark::State& state) {
    std::string text = largeClaudeSettings(5 << 20);
    for (auto _ : state) {
        auto value = JSON::parsed(text, {.exactNumbers = true});
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void WriteSettingsPretty(benchmark::State& state) {
    JSON value = *JSON::parsed(largeClaudeSettings(5 << 20), {.exactNumbers = true});
    size_t size = 0;
    for (auto _ : state) {
        std::string text = value.serialized({.pretty = true, .sortedKeys = true});
        size = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Numbers as telemetry and coordinates carry them: shortest round-trip doubles, integers,
// exponents; about 4 MiB.
std::string manyNumbers() {
    std::string text = "[";
    uint64_t x = 88172645463325252u;
    for (int i = 0; i < 200'000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        double d = static_cast<double>(x >> 11) / static_cast<double>(1ull << 53) * 1e6;
        if (i % 4 == 1) d = static_cast<double>(x % 100000);
        if (i % 4 == 2) d *= 1e-300;
        if (i > 0) text += ',';
        text += JSON(i % 8 == 3 ? -d : d).data();
    }
    return text + "]";
}

void ParseNumbers(benchmark::State& state) {
    std::string text = manyNumbers();
    for (auto _ : state) {
        auto value = JSON::parsed(text, {.exactNumbers = state.range(0) != 0});
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(ParseSettings)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseNumbers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteSettingsPretty)->Unit(benchmark::kMillisecond);

void HandleLine(benchmark::State& state, std::string line) {
    AgentMCP::MCPServer server("0.4.1");
    for (auto _ : state) {
        auto reply = server.handle(line);
        benchmark::DoNotOptimize(reply);
    }
}

BENCHMARK_CAPTURE(HandleLine, ping, std::string(R"({"jsonrpc":"2.0","id":12,"method":"ping"})"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(HandleLine, toolsList, std::string(R"({"jsonrpc":"2.0","id":13,"method":"tools/list","params":{}})"))
    ->Unit(benchmark::kMicrosecond);

// One tools/call through the helper's two roads, in this process and without input/output:
// the general road (request parsed into a tree, call line serialized, result line parsed,
// reply serialized) against the fast road (request and result each scanned once, call line
// and reply spliced). Interleaved rounds; the minimum of each, the spread beside it.
// The general road as the serve loop and the App link take it.
std::string generalRoad(AgentMCP::MCPServer& server, const std::string& request, const std::string& resultLine) {
    auto call = server.handle(request).call;
    benchmark::DoNotOptimize(AgentWire::AgentMessage::call(7, call->tool, call->arguments).line());
    auto decoded = AgentWire::AgentMessage::decode(std::string_view(resultLine));
    auto* result = std::get<AgentWire::AgentMessage>(decoded).as<AgentWire::AgentMessage::Result>();
    return server.callReply(call->id, {std::move(result->content), result->isError});
}

void ToolCallRoads(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const size_t bytes = static_cast<size_t>(state.range(0));
    const int rounds = 15, calls = bytes > (1 << 20) ? 1 : 2000;
    const std::string request =
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"read_page","arguments":{"tab":"tab-1"}}})";
    const std::string resultLine = toolResult(bytes);
    AgentMCP::MCPServer server("0.4.1");
    std::vector<double> general, fast;
    std::string callLine;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            for (int i = 0; i < calls; ++i) benchmark::DoNotOptimize(generalRoad(server, request, resultLine));
            general.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls);
            start = Clock::now();
            for (int i = 0; i < calls; ++i) {
                auto scanned = AgentMCP::ToolCallScan::request(request);
                callLine.clear();
                AgentMCP::ToolCallScan::appendCallLine(callLine, *scanned, 7);
                benchmark::DoNotOptimize(AgentMCP::ToolCallScan::reply(resultLine, 7, scanned->id));
            }
            fast.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls);
        }
    }
    std::sort(general.begin(), general.end());
    std::sort(fast.begin(), fast.end());
    state.counters["general_us_min"] = general.front();
    state.counters["general_us_med"] = general[general.size() / 2];
    state.counters["fast_us_min"] = fast.front();
    state.counters["fast_us_med"] = fast[fast.size() / 2];
    state.counters["general_over_fast"] = general.front() / fast.front();
}
BENCHMARK(ToolCallRoads)->Arg(64)->Arg(40 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
