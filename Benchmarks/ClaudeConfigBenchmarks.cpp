// Registering the helper in a large Claude Code settings file: time of one setServer and the
// peak memory it needs, as a multiple of the file's size. Heap use is counted by replacing the
// global allocation functions (usable sizes, so allocator rounding counts too); the resident
// set's growth is measured in a forked child as a second opinion.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "AgentSetup/ClaudeConfigFile.hpp"

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

size_t usableSize(void* pointer) {
#if defined(__APPLE__)
    return malloc_size(pointer);
#else
    return malloc_usable_size(pointer);
#endif
}

void* counted(size_t size) {
    void* pointer = std::malloc(size ? size : 1);
    if (!pointer) throw std::bad_alloc();
    const size_t now = liveBytes.fetch_add(usableSize(pointer), std::memory_order_relaxed) + usableSize(pointer);
    size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return pointer;
}

void uncounted(void* pointer) {
    if (!pointer) return;
    liveBytes.fetch_sub(usableSize(pointer), std::memory_order_relaxed);
    std::free(pointer);
}

}  // namespace

void* operator new(size_t size) { return counted(size); }
void* operator new[](size_t size) { return counted(size); }
void operator delete(void* pointer) noexcept { uncounted(pointer); }
void operator delete[](void* pointer) noexcept { uncounted(pointer); }
void operator delete(void* pointer, size_t) noexcept { uncounted(pointer); }
void operator delete[](void* pointer, size_t) noexcept { uncounted(pointer); }

namespace {

constexpr const char* helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

// Settings shaped like a long-used Claude Code install, written as Claude Code writes them
// (two-space indentation): thousands of projects, each with its prompt history and counters.
// `historyText` sets how much of the file is long text rather than small members.
std::string settingsText(size_t targetBytes, size_t historyText) {
    std::string text = "{\n  \"numStartups\": 1843,\n  \"installMethod\": \"native\",\n  \"autoUpdates\": true,\n"
                       "  \"tipsHistory\": {";
    for (int i = 0; i < 60; ++i) text += (i ? ",\n    \"tip-" : "\n    \"tip-") + std::to_string(i) + "\": " + std::to_string(i * 17);
    text += "\n  },\n  \"mcpServers\": {\n    \"other\": {\n      \"type\": \"stdio\",\n      \"command\": \"/usr/local/bin/other\",\n"
            "      \"args\": [\"--port\", \"7\"],\n      \"env\": {}\n    }\n  },\n  \"projects\": {";
    const std::string words = "please refactor the parser so that the settings loader keeps numbers exact and "
                              "add tests for the empty file case, then run the build \\u2014 thanks! ";
    for (size_t project = 0; text.size() < targetBytes; ++project) {
        const std::string n = std::to_string(project);
        text += (project ? ",\n    \"/Users/ann/code/project-" : "\n    \"/Users/ann/code/project-") + n + "\": {\n" +
                "      \"allowedTools\": [\n        \"Bash(git status:*)\",\n        \"Edit\"\n      ],\n"
                "      \"history\": [";
        for (int entry = 0; entry < 12; ++entry) {
            std::string display;
            while (display.size() < historyText) display += words;
            display.resize(historyText + (project * 7 + entry * 13) % 40);
            if (display.back() == '\\') display.pop_back();
            text += std::string(entry ? "," : "") + "\n        {\n          \"display\": \"" + display +
                    "\",\n          \"pastedContents\": {}\n        }";
        }
        text += "\n      ],\n      \"mcpContextUris\": [],\n      \"mcpServers\": {},\n"
                "      \"enabledMcpjsonServers\": [],\n      \"disabledMcpjsonServers\": [],\n"
                "      \"hasTrustDialogAccepted\": " + std::string(project % 3 ? "true" : "false") + ",\n" +
                "      \"projectOnboardingSeenCount\": " + std::to_string(project % 5) + ",\n" +
                "      \"hasClaudeMdExternalIncludesApproved\": false,\n" +
                "      \"lastCost\": 0." + std::to_string(100000 + project * 7919 % 900000) + ",\n" +
                "      \"lastAPIDuration\": " + std::to_string(project * 37 % 100000) + ",\n" +
                "      \"lastDuration\": " + std::to_string(project * 91 % 1000000) + ",\n" +
                "      \"lastLinesAdded\": " + std::to_string(project % 300) + ",\n" +
                "      \"lastLinesRemoved\": " + std::to_string(project % 70) + ",\n" +
                "      \"lastTotalInputTokens\": " + std::to_string(project * 131 % 200000) + ",\n" +
                "      \"lastTotalOutputTokens\": " + std::to_string(project * 17 % 20000) + ",\n" +
                "      \"lastSessionId\": \"6f1c2a9e-0b7d-4c55-9e3a-" + std::to_string(100000000000 + project) + "\",\n" +
                "      \"exampleFiles\": [\n        \"src/main.ts\",\n        \"src/config.ts\"\n      ]\n    }";
    }
    text += "\n  },\n  \"userID\": \"" + std::string(64, 'e') + "\"\n}";
    return text;
}

struct Scratch {
    std::string directory;
    std::string settings;
    std::string original;

    Scratch(size_t bytes, size_t historyText) {
        std::string pattern = (std::filesystem::temp_directory_path() / "bosken-bench-XXXXXX").string();
        directory = ::mkdtemp(pattern.data());
        settings = directory + "/.claude.json";
        original = directory + "/original.json";
        const std::string text = settingsText(bytes, historyText);
        std::ofstream(original, std::ios::binary) << text;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    void reset() const { std::filesystem::copy_file(original, settings, std::filesystem::copy_options::overwrite_existing); }
    double size() const { return static_cast<double>(std::filesystem::file_size(original)); }
};

// Growth of the resident set while one setServer runs in a fresh child process.
double residentGrowth(const Scratch& scratch) {
    scratch.reset();
#if !defined(__APPLE__)
    // Hand freed heap back, so the child cannot reuse resident pages without growing.
    ::malloc_trim(0);
#endif
    int pipe[2];
    if (::pipe(pipe) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        struct rusage before {}, after {};
        ::getrusage(RUSAGE_SELF, &before);
        const bool failed = AgentSetup::ClaudeConfigFile(scratch.settings).setServer("bosken", helper).has_value();
        ::getrusage(RUSAGE_SELF, &after);
#if defined(__APPLE__)
        const double scale = 1;  // bytes
#else
        const double scale = 1024;  // kilobytes
#endif
        const double growth = failed ? -1 : (after.ru_maxrss - before.ru_maxrss) * scale;
        (void)!::write(pipe[1], &growth, sizeof growth);
        ::_exit(0);
    }
    ::close(pipe[1]);
    double growth = -1;
    if (::read(pipe[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return growth;
}

void SetServer(benchmark::State& state) {
    const Scratch scratch(static_cast<size_t>(state.range(0)) << 20, static_cast<size_t>(state.range(1)));
    const double fileSize = scratch.size();
    // First, while this process holds no freed heap a child could reuse without growing.
    const double rssGrowth = residentGrowth(scratch);
    double heapPeak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        scratch.reset();
        peakBytes.store(liveBytes.load());
        const size_t baseline = liveBytes.load();
        state.ResumeTiming();

        if (AgentSetup::ClaudeConfigFile(scratch.settings).setServer("bosken", helper)) {
            state.SkipWithError("setServer failed");
            return;
        }

        state.PauseTiming();
        heapPeak = std::max(heapPeak, static_cast<double>(peakBytes.load() - baseline));
        state.ResumeTiming();
    }
    state.counters["fileMiB"] = fileSize / (1 << 20);
    state.counters["heapPeakXFile"] = heapPeak / fileSize;
    state.counters["rssGrowthXFile"] = rssGrowth / fileSize;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize));
}

// {file MiB, characters of each history entry}: prompt-heavy settings, and settings made
// mostly of small members (the worst case for the value tree).
BENCHMARK(SetServer)
    ->Args({50, 300})
    ->Args({50, 40})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
