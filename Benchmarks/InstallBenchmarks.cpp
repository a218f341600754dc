// `bosken-mcp install` end to end, as a process: a copy of the helper inside an app bundle in a
// temporary directory registers itself in Codex's existing config.toml (target ≤ 20 ms) and in a
// 5 MiB ~/.claude.json edited as a file (target ≤ 100 ms). Each iteration starts from the
// original file, so every run plans, backs up, writes and reads back.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "AgentSetup/CommandRunner.hpp"
#include "SettingsFile.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Sandbox {
    fs::path root;
    std::string helper;
    std::string home;

    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "bosken-bench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        helper = (root / "Applications/Bosken.app/Contents/Helpers/bosken-mcp").string();
        home = (root / "home").string();
        fs::create_directories(fs::path(helper).parent_path());
        fs::copy_file(BOSKEN_MCP_EXE, helper);
        fs::create_directories(root / "bin");
        fs::create_directories(home);
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void write(const fs::path& file, const std::string& bytes) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }
    // Puts the file back as it was and removes the backups of earlier iterations.
    static void reset(const fs::path& file, const std::string& bytes) {
        fs::create_directories(file.parent_path());
        for (const auto& entry : fs::directory_iterator(file.parent_path()))
            if (entry.path().filename().string().find(".bosken-backup-") != std::string::npos) fs::remove(entry.path());
        write(file, bytes);
    }

    // Runs the helper with `arguments` (output to /dev/null); its exit status.
    int install(const std::vector<std::string>& arguments) const {
        std::vector<std::string> strings{helper, "install"};
        strings.insert(strings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::string homeVariable = "HOME=" + home, pathVariable = "PATH=" + (root / "bin").string();
        char* envp[] = {homeVariable.data(), pathVariable.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        int error = ::posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), envp);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) return -1;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

std::string codexConfig() {
    std::string out = "# Codex settings\nmodel = \"o3\"\napproval_policy = \"on-request\"\n\n";
    for (int i = 0; i < 20; ++i)
        out += "[mcp_servers.tool" + std::to_string(i) + "]\ncommand = \"/usr/local/bin/tool" + std::to_string(i) +
               "\"\nargs = [\"--port\", \"" + std::to_string(8000 + i) + "\"]\n\n";
    out += "[profiles.fast]\nmodel = \"o4-mini\"\n";
    return out;
}

void BM_InstallCodexIntoExistingConfig(benchmark::State& state) {
    Sandbox sandbox;
    const fs::path config = fs::path(sandbox.home) / ".codex/config.toml";
    const std::string original = codexConfig();
    for (auto _ : state) {
        state.PauseTiming();
        Sandbox::reset(config, original);
        state.ResumeTiming();
        if (sandbox.install({"--app", "codex"}) != 0) state.SkipWithError("install failed");
    }
}
BENCHMARK(BM_InstallCodexIntoExistingConfig)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_InstallCodexUnchanged(benchmark::State& state) {
    Sandbox sandbox;
    if (sandbox.install({"--app", "codex"}) != 0) state.SkipWithError("install failed");
    for (auto _ : state)
        if (sandbox.install({"--app", "codex"}) != 0) state.SkipWithError("install failed");
}
BENCHMARK(BM_InstallCodexUnchanged)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_InstallClaudeCodeInto5MiBSettings(benchmark::State& state) {
    Sandbox sandbox;
    const fs::path config = fs::path(sandbox.home) / ".claude.json";
    const std::string original = largeClaudeSettings(5 * 1024 * 1024);
    for (auto _ : state) {
        state.PauseTiming();
        Sandbox::reset(config, original);
        state.ResumeTiming();
        if (sandbox.install({}) != 0) state.SkipWithError("install failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(original.size()));
}
BENCHMARK(BM_InstallClaudeCodeInto5MiBSettings)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

// The runner's own cost around a process that does nothing.
void BM_CommandRunnerTrue(benchmark::State& state) {
    auto runner = AgentSetup::CommandRunner::process();
    for (auto _ : state)
        if (runner.run("/bin/true", {}, {}).status != 0) state.SkipWithError("true failed");
}
BENCHMARK(BM_CommandRunnerTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
