// The cost of the helper on the road of a tool call, measured against the stand-in browser:
//
// - PerCallOverhead: 10,000 small sequential tools/call requests through bosken-mcp, and in
//   the same run the same calls made directly on the agent socket; the difference per call is
//   what the helper adds.
// - PingBurst: 10,000 pings written in one go, the time until the last reply.
// - LargeResult: a 40 MiB result from the stand-in's write to the last byte of the reply on
//   the helper's standard output, against relaying the same bytes raw (socket -> pipe) in
//   this process; and the helper's peak resident memory as a multiple of the result size.
//
// - ReadsPerLargeResult: how many reads of the helper's chunk size a 40 MiB result takes on
//   a socket made as the helper makes it, against the system's default buffers and against
//   8 KiB ones (macOS's default for Unix sockets).
//
// Both read replies with the same line reader, so the consumer's cost is the same on both
// sides.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AgentMCP/AppLink.hpp"
#include "AgentWire/AgentMessage.hpp"
#include "AgentWire/JSON.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using AgentWire::AgentMessage;
using AgentWire::JSON;

// A child process with pipes on the standard streams asked for.
struct Child {
    pid_t pid = -1;
    int in = -1;   // our end of its standard input
    int out = -1;  // our end of its standard output

    Child(const std::vector<std::string>& arguments, bool pipeInput, const std::vector<std::string>& extraEnvironment = {}) {
        int inPipe[2] = {-1, -1}, outPipe[2];
        if ((pipeInput && ::pipe(inPipe) != 0) || ::pipe(outPipe) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (pipeInput) posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]}) {
            if (fd >= 0) posix_spawn_file_actions_addclose(&actions, fd);
        }
        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        for (const auto& e : extraEnvironment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
        posix_spawn_file_actions_destroy(&actions);
        if (pipeInput) {
            ::close(inPipe[0]);
            in = inPipe[1];
        }
        ::close(outPipe[1]);
        out = outPipe[0];
    }
    ~Child() {
        if (in >= 0) ::close(in);
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status;
            ::waitpid(pid, &status, 0);
        }
        if (out >= 0) ::close(out);
    }
};

// Reads lines with a buffer kept across lines, scanning each byte once.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line's length (its bytes stay in `line()` until the next call); 0 at the end.
    size_t next() {
        buffer_.erase(0, taken_);
        scanned_ = 0;
        taken_ = 0;
        while (true) {
            if (auto* nl = static_cast<const char*>(std::memchr(buffer_.data() + scanned_, '\n', buffer_.size() - scanned_))) {
                taken_ = static_cast<size_t>(nl - buffer_.data()) + 1;
                return taken_ - 1;
            }
            scanned_ = buffer_.size();
            size_t at = buffer_.size();
            buffer_.resize(at + chunk);
            ssize_t n = ::read(fd_, buffer_.data() + at, chunk);
            buffer_.resize(at + (n > 0 ? static_cast<size_t>(n) : 0));
            if (n <= 0) return 0;
        }
    }
    std::string_view line() const { return std::string_view(buffer_).substr(0, taken_ ? taken_ - 1 : 0); }

private:
    static constexpr size_t chunk = 1 << 20;
    int fd_;
    std::string buffer_;
    size_t scanned_ = 0;
    size_t taken_ = 0;
};

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string temporaryDirectory() {
    std::string pattern = "/tmp/bosken-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
}

// A stand-in browser listening at `socket`.
std::unique_ptr<Child> startStandIn(const std::string& socket, std::vector<std::string> options = {}) {
    std::vector<std::string> arguments = {BOSKEN_STANDIN_EXE, "--socket", socket};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto child = std::make_unique<Child>(arguments, false);
    LineReader ready(child->out);
    if (ready.next() == 0 || ready.line() != "ready") std::abort();
    return child;
}

// A direct client of the agent socket, past hello and welcome.
int connectDirectly(const std::string& socket, int fd = ::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    writeAll(fd, AgentMessage::hello("bench", "1").line());
    return fd;
}

std::string toolCall(int64_t id, const std::string& tool, const std::string& arguments) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
           R"(","arguments":)" + arguments + "}}\n";
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The helper's peak resident set, in bytes (0 where the platform does not tell).
double peakResidentBytes(pid_t pid) {
#if defined(__linux__)
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            double kib = 0;
            status >> kib;
            return kib * 1024;
        }
        std::getline(status, key);
    }
#else
    (void)pid;
#endif
    return 0;
}

// CPU time (user and system) the process has used so far, in microseconds (0 where the
// platform does not tell).
double cpuMicroseconds(pid_t pid) {
#if defined(__linux__)
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto afterName = all.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::istringstream fields(all.substr(afterName + 2));
    std::string field;
    double user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stod(field);
        if (i == 15) system = std::stod(field);
    }
    return (user + system) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
#else
    (void)pid;
    return 0;
#endif
}

// An earlier build of the helper to compare with, from BOSKEN_MCP_BASELINE; empty when none.
std::string baselineHelper() {
    const char* path = std::getenv("BOSKEN_MCP_BASELINE");
    return path ? path : "";
}

void PerCallOverhead(benchmark::State& state) {
    const int calls = 10'000;
    std::string dir = temporaryDirectory();
    auto directBrowser = startStandIn(dir + "/direct.sock");
    auto helperBrowser = startStandIn(dir + "/helper.sock");
    double directMicros = 0, helperMicros = 0, helperCPU = 0, baselineMicros = 0, baselineCPU = 0;

    for (auto _ : state) {
        // Direct: the same call lines on the socket, the result lines read back.
        int fd = connectDirectly(dir + "/direct.sock");
        LineReader direct(fd);
        direct.next();  // welcome
        auto start = Clock::now();
        for (int i = 1; i <= calls; ++i) {
            writeAll(fd, AgentMessage::call(i, "list_agent_tabs", JSON(JSON::Object{})).line());
            if (direct.next() == 0) std::abort();
        }
        directMicros = microseconds(Clock::now() - start) / calls;
        ::close(fd);

        // Through the helper: tools/call on its standard input, the reply from its output.
        auto through = [&](const std::string& program, double& cpu) {
            Child helper({program, "--socket", dir + "/helper.sock"}, true);
            LineReader replies(helper.out);
            writeAll(helper.in, toolCall(0, "list_agent_tabs", "{}"));  // connects, hello, welcome
            replies.next();
            double cpuBefore = cpuMicroseconds(helper.pid);
            auto begin = Clock::now();
            for (int i = 1; i <= calls; ++i) {
                writeAll(helper.in, toolCall(i, "list_agent_tabs", "{}"));
                if (replies.next() == 0) std::abort();
            }
            cpu = (cpuMicroseconds(helper.pid) - cpuBefore) / calls;
            return microseconds(Clock::now() - begin) / calls;
        };
        helperMicros = through(BOSKEN_MCP_EXE, helperCPU);
        if (!baselineHelper().empty()) baselineMicros = through(baselineHelper(), baselineCPU);
    }
    if (!baselineHelper().empty()) {
        state.counters["baseline_us_per_call"] = baselineMicros;
        state.counters["baseline_cpu_us_per_call"] = baselineCPU;
    }
    state.counters["direct_us_per_call"] = directMicros;
    state.counters["helper_us_per_call"] = helperMicros;
    state.counters["overhead_us_per_call"] = helperMicros - directMicros;
    state.counters["helper_cpu_us_per_call"] = helperCPU;
    directBrowser.reset();
    helperBrowser.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(PerCallOverhead)->Iterations(1)->Unit(benchmark::kMillisecond);

// Milliseconds for `helper` to answer `count` pings written in one go, the replies read as they come.
double pingBurstMilliseconds(const std::string& helper, int count) {
    std::string burst;
    for (int i = 1; i <= count; ++i) burst += R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"ping"})" "\n";
    Child child({helper}, true);
    LineReader replies(child.out);
    writeAll(child.in, R"({"jsonrpc":"2.0","id":0,"method":"ping"})" "\n");  // started and serving
    replies.next();
    auto start = Clock::now();
    std::thread writer([&] { writeAll(child.in, burst); });
    for (int i = 0; i < count; ++i) {
        if (replies.next() == 0) std::abort();
    }
    double ms = microseconds(Clock::now() - start) / 1000;
    writer.join();
    return ms;
}

// 10,000 pipelined pings: the serve loop's cost for requests that need no browser. With a
// baseline helper, both are measured in turn and the minimum of the rounds kept.
void PingBurst(benchmark::State& state) {
    const int count = 10'000, rounds = 7;
    std::string baseline = baselineHelper();
    double best = 1e300, bestBaseline = 1e300;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            best = std::min(best, pingBurstMilliseconds(BOSKEN_MCP_EXE, count));
            if (!baseline.empty()) bestBaseline = std::min(bestBaseline, pingBurstMilliseconds(baseline, count));
        }
    }
    state.counters["helper_ms"] = best;
    if (!baseline.empty()) {
        state.counters["baseline_ms"] = bestBaseline;
        state.counters["helper_over_baseline"] = best / bestBaseline;
    }
}
BENCHMARK(PingBurst)->Iterations(1)->Unit(benchmark::kMillisecond);

void LargeResult(benchmark::State& state) {
    const size_t size = 40u << 20;
    const int rounds = 5;
    std::string dir = temporaryDirectory();
    auto rawBrowser = startStandIn(dir + "/raw.sock", {"--result-bytes", std::to_string(size)});
    auto helperBrowser = startStandIn(dir + "/helper.sock", {"--result-bytes", std::to_string(size)});
    std::vector<double> raw, relayed;
    double peak = 0;

    for (auto _ : state) {
        // Raw: socket -> pipe in a relay thread, the pipe read here as the helper's output is.
        int fd = connectDirectly(dir + "/raw.sock");
        int pipeFDs[2];
        if (::pipe(pipeFDs) != 0) std::abort();
        std::thread relay([fd, writeEnd = pipeFDs[1]] {
            std::vector<char> chunk(256 * 1024);
            while (true) {
                ssize_t n = ::read(fd, chunk.data(), chunk.size());
                if (n <= 0 || !writeAll(writeEnd, std::string_view(chunk.data(), static_cast<size_t>(n)))) break;
            }
            ::close(writeEnd);
        });
        LineReader rawLines(pipeFDs[0]);
        rawLines.next();  // welcome
        for (int i = 0; i <= rounds; ++i) {
            auto start = Clock::now();
            writeAll(fd, AgentMessage::call(i + 1, "read_page", JSON::object({{"tab", "tab-1"}})).line());
            if (rawLines.next() < size) std::abort();
            if (i > 0) raw.push_back(microseconds(Clock::now() - start) / 1000);  // the first one warms up
        }
        ::shutdown(fd, SHUT_RDWR);
        relay.join();
        ::close(fd);
        ::close(pipeFDs[0]);

        // The helper, reading its replies from a pipe as an agent app does.
        {
            Child helper({BOSKEN_MCP_EXE, "--socket", dir + "/helper.sock"}, true, {});
            LineReader replies(helper.out);
            for (int i = 0; i <= rounds; ++i) {
                auto start = Clock::now();
                writeAll(helper.in, toolCall(i + 1, "read_page", R"({"tab":"tab-1"})"));
                if (replies.next() < size) std::abort();
                if (i > 0) relayed.push_back(microseconds(Clock::now() - start) / 1000);
            }
            peak = peakResidentBytes(helper.pid);
        }
    }
    std::sort(raw.begin(), raw.end());
    std::sort(relayed.begin(), relayed.end());
    double rawMs = raw[raw.size() / 2], helperMs = relayed[relayed.size() / 2];
    state.counters["raw_relay_ms"] = rawMs;
    state.counters["helper_ms"] = helperMs;
    state.counters["helper_over_raw"] = helperMs / rawMs;
    state.counters["helper_peak_MiB"] = peak / (1 << 20);
    state.counters["peak_over_result"] = peak / static_cast<double>(size);
    rawBrowser.reset();
    helperBrowser.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(LargeResult)->Iterations(1)->Unit(benchmark::kMillisecond);

void ReadsPerLargeResult(benchmark::State& state) {
    const size_t size = 40u << 20;
    const size_t chunk = 256 * 1024;  // the helper's read size
    std::string dir = temporaryDirectory();
    auto browser = startStandIn(dir + "/agent.sock", {"--result-bytes", std::to_string(size)});
    auto small = [] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        int bytes = 8192;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        return fd;
    };
    const std::vector<std::pair<const char*, std::function<int()>>> sockets = {
        {"reads_default", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0); }},
        {"reads_8KiB", small},
        {"reads_helper", AgentMCP::AppLink::SocketCalls::live().socket}};
    std::vector<std::vector<double>> counts(sockets.size());
    std::vector<char> buffer(chunk);
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            for (size_t which = 0; which < sockets.size(); ++which) {
                int fd = connectDirectly(dir + "/agent.sock", sockets[which].second());
                LineReader welcome(fd);
                welcome.next();
                writeAll(fd, AgentMessage::call(1, "read_page", JSON::object({{"tab", "tab-1"}})).line());
                size_t got = 0, reads = 0;
                bool ended = false;
                while (!ended) {
                    ssize_t n = ::read(fd, buffer.data(), chunk);
                    if (n <= 0) std::abort();
                    ++reads;
                    got += static_cast<size_t>(n);
                    ended = buffer[static_cast<size_t>(n) - 1] == '\n';
                }
                if (got < size) std::abort();
                counts[which].push_back(static_cast<double>(reads));
                ::close(fd);
            }
        }
    }
    for (size_t which = 0; which < sockets.size(); ++which) {
        std::sort(counts[which].begin(), counts[which].end());
        state.counters[sockets[which].first] = counts[which][counts[which].size() / 2];
    }
    browser.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(ReadsPerLargeResult)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
