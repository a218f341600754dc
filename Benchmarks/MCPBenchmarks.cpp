// JSON and MCP request handling. Large-message figures are compared with copying the same
// bytes into newly allocated memory in the same run: first touches of fresh memory dominate
// on these machines, so absolute figures mislead.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "AgentMCP/MCPServer.hpp"
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

}  // namespace

BENCHMARK_MAIN();
