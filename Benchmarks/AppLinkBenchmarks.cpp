// The cost of the helper on the road of a tool call, measured against the stand-in browser.
// Every figure is taken in rounds that interleave the helper with its baselines, so the noise
// of a shared machine hits both alike; each counter is the minimum over the rounds, with the
// median and maximum beside it as the spread.
//
// - PerCall: small sequential tools/call requests through bosken-mcp, through a minimal relay
//   (this executable started with --relay: validate the request, forward a call line, read the
//   result line, write the reply) and made directly on the agent socket.
// - LargeResult: a 40 MiB result from the call written to the last byte of the reply, through
//   the helper (its first result and later ones), the minimal relay, and a raw socket -> pipe
//   relay in this process; the helper's peak resident memory, and its resident memory before
//   the first call and 1 s after a reply.
// - SpawnToFirstLine: from posix_spawn to the helper's initialize reply, against a trivial C
//   program that reads a line and writes one, started the same way.
// - PingBurst: 10,000 pings written in one go, the time until the last reply.
// - ReadsPerLargeResult: how many reads of the helper's chunk size a 40 MiB result takes on
//   a socket made as the helper makes it, against the system's default buffers and against
//   8 KiB ones (macOS's default for Unix sockets).
//
// Replies are read with the same line reader everywhere, so the consumer's cost is the same.
// BOSKEN_BENCH_HELPER may name another helper executable to measure in place of this build's;
// BOSKEN_MCP_BASELINE an earlier build measured beside it, in the same rounds ("baseline").

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
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

// Reads lines with a buffer kept across lines (and across descriptors, after `reset`),
// scanning each byte once and never clearing memory it is about to read into.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    void reset(int fd) {
        fd_ = fd;
        begin_ = end_ = 0;
        line_ = {};
    }

    // The next line's length (its bytes stay in `line()` until the next call); 0 at the end.
    size_t next() {
        size_t scanned = begin_;
        while (true) {
            if (auto* nl = static_cast<const char*>(std::memchr(buffer_.data() + scanned, '\n', end_ - scanned))) {
                auto at = static_cast<size_t>(nl - buffer_.data());
                line_ = std::string_view(buffer_.data() + begin_, at - begin_);
                begin_ = at + 1;
                return line_.size();
            }
            scanned = end_;
            if (begin_ > 0 && buffer_.size() - end_ < chunk) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                scanned -= begin_;
                end_ -= begin_;
                begin_ = 0;
            }
            if (buffer_.size() - end_ < chunk) buffer_.resize(std::max(buffer_.size() * 2, end_ + chunk));
            ssize_t n = ::read(fd_, buffer_.data() + end_, chunk);
            if (n <= 0) return 0;
            end_ += static_cast<size_t>(n);
        }
    }
    std::string_view line() const { return line_; }
    // Room for `bytes` already touched, so reading into it costs no page faults.
    void reserve(size_t bytes) {
        if (buffer_.size() < bytes) buffer_.resize(bytes);
    }

private:
    static constexpr size_t chunk = 1 << 20;
    int fd_;
    std::string buffer_;
    size_t begin_ = 0;  // first byte not yet returned
    size_t end_ = 0;    // end of the bytes read
    std::string_view line_;
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

// A figure of /proc/<pid>/status in bytes ("VmRSS:", "VmHWM:"); 0 where the platform does not tell.
double statusBytes(pid_t pid, const std::string& field) {
#if defined(__linux__)
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            double kib = 0;
            status >> kib;
            return kib * 1024;
        }
        std::getline(status, key);
    }
#else
    (void)pid;
    (void)field;
#endif
    return 0;
}

bool writevAll(int fd, iovec* parts, int count) {
    while (count > 0) {
        ssize_t n = ::writev(fd, parts, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        auto done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

// Per-round figures of one measure.
struct Series {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    double at(double fraction) const {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1))];
    }
    double min() const { return at(0); }
    void report(benchmark::State& state, const std::string& name, double scale = 1) const {
        state.counters[name + "_min"] = at(0) * scale;
        state.counters[name + "_med"] = at(0.5) * scale;
        state.counters[name + "_max"] = at(1) * scale;
    }
};

// MARK: - The minimal relay

// A small validating scan of one JSON text, independent of the product's code: structure,
// string escapes and control bytes, number grammar (UTF-8 is trusted).
struct MiniScan {
    const char* p;
    const char* end;

    bool space() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
        return p < end;
    }
    bool string() {
        ++p;
        while (true) {
            while (end - p >= 8) {
                uint64_t v;
                std::memcpy(&v, p, 8);
                constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
                auto zero = [](uint64_t x) { return (x - ones) & ~x & highs; };
                if (zero(v ^ (ones * '"')) | zero(v ^ (ones * '\\')) | ((v - ones * 0x20) & ~v & highs)) break;
                p += 8;
            }
            if (p >= end) return false;
            char c = *p++;
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') continue;
            if (p >= end) return false;
            char e = *p++;
            if (e == 'u') {
                if (end - p < 4) return false;
                for (int i = 0; i < 4; ++i) {
                    if (!std::isxdigit(static_cast<unsigned char>(p[i]))) return false;
                }
                p += 4;
            } else if (e == 0 || !std::strchr("\"\\/bfnrt", e)) {
                return false;
            }
        }
    }
    bool digits() {
        const char* s = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        return p > s;
    }
    bool number() {
        if (*p == '-') ++p;
        if (p < end && *p == '0') {
            ++p;
        } else if (!digits()) {
            return false;
        }
        if (p < end && *p == '.' && (++p, !digits())) return false;
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-')) ++p;
            if (!digits()) return false;
        }
        return true;
    }
    bool literal(std::string_view word) {
        if (static_cast<size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
        p += word.size();
        return true;
    }
    bool value(int depth) {
        if (!space() || depth > 64) return false;
        switch (*p) {
        case '"': return string();
        case '{': return object(depth, [](std::string_view, std::string_view) {});
        case '[': {
            ++p;
            if (space() && *p == ']') return ++p, true;
            while (true) {
                if (!value(depth + 1) || !space()) return false;
                if (*p == ']') return ++p, true;
                if (*p++ != ',') return false;
            }
        }
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }
    // An object; `member(key, value)` sees each member's raw key and value text.
    template <class Member> bool object(int depth, Member member) {
        ++p;
        if (space() && *p == '}') return ++p, true;
        while (true) {
            if (!space() || *p != '"') return false;
            const char* key = p;
            if (!string()) return false;
            std::string_view keyText(key + 1, static_cast<size_t>(p - key - 2));
            if (!space() || *p++ != ':' || !space()) return false;
            const char* start = p;
            if (!value(depth + 1)) return false;
            member(keyText, std::string_view(start, static_cast<size_t>(p - start)));
            if (!space()) return false;
            if (*p == '}') return ++p, true;
            if (*p++ != ',') return false;
        }
    }
    // The whole text is one object.
    template <class Member> bool document(Member member) {
        if (!space() || *p != '{' || !object(0, member)) return false;
        return !space();
    }
};

int relayMain(const std::string& socket) {
    int fd = connectDirectly(socket);
    LineReader fromBrowser(fd);
    if (fromBrowser.next() == 0) return 1;  // welcome
    LineReader fromClient(0);
    int64_t callID = 0;
    std::string call, head, tail;
    while (fromClient.next() > 0) {
        std::string_view line = fromClient.line(), id, name, arguments = "{}", method;
        bool ok = MiniScan{line.data(), line.data() + line.size()}.document([&](std::string_view key, std::string_view value) {
            if (key == "id") id = value;
            if (key == "method") method = value;
            if (key == "params" && value[0] == '{') {
                MiniScan{value.data(), value.data() + value.size()}.document([&](std::string_view k, std::string_view v) {
                    if (k == "name" && v[0] == '"') name = v;
                    if (k == "arguments") arguments = v;
                });
            }
        });
        if (!ok || id.empty() || name.empty() || method != R"("tools/call")") return 1;
        std::string callIDText = std::to_string(++callID);
        call.assign(R"({"arguments":)").append(arguments).append(R"(,"id":)").append(callIDText);
        call.append(R"(,"tool":)").append(name).append(R"(,"type":"call"})").push_back('\n');
        if (!writeAll(fd, call) || fromBrowser.next() == 0) return 1;
        std::string_view result = fromBrowser.line(), content, isError = "false", resultID;
        ok = MiniScan{result.data(), result.data() + result.size()}.document([&](std::string_view key, std::string_view value) {
            if (key == "content") content = value;
            if (key == "isError") isError = value;
            if (key == "id") resultID = value;
        });
        if (!ok || resultID != callIDText || content.empty()) return 1;
        head.assign(R"({"id":)").append(id).append(R"(,"jsonrpc":"2.0","result":{"content":)");
        tail.assign(R"(,"isError":)").append(isError).append("}}\n");
        iovec parts[3] = {{head.data(), head.size()}, {const_cast<char*>(content.data()), content.size()}, {tail.data(), tail.size()}};
        if (!writevAll(1, parts, 3)) return 0;
    }
    return 0;
}

std::string ownPath;

// The helper measured: BOSKEN_BENCH_HELPER names another build (an earlier one, say), so two
// builds can be compared in one run.
std::string helperPath() {
    const char* other = std::getenv("BOSKEN_BENCH_HELPER");
    return other && *other ? other : BOSKEN_MCP_EXE;
}

// An earlier build of the helper to compare with, from BOSKEN_MCP_BASELINE; empty when none.
std::string baselineHelper() {
    const char* path = std::getenv("BOSKEN_MCP_BASELINE");
    return path ? path : "";
}

// MARK: - Benchmarks

void PerCall(benchmark::State& state) {
    // Many short rounds: the minimum of each then finds the quiet moments of a busy machine.
    const int rounds = 40, calls = 200;
    std::string dir = temporaryDirectory();
    auto directBrowser = startStandIn(dir + "/direct.sock");
    auto helperBrowser = startStandIn(dir + "/helper.sock");
    auto relayBrowser = startStandIn(dir + "/relay.sock");
    Series direct, helper, relay, baseline;
    const std::string baselinePath = baselineHelper();
    // A browser of its own: the stand-in serves one connection at a time.
    auto baselineBrowser = baselinePath.empty() ? nullptr : startStandIn(dir + "/baseline.sock");

    for (auto _ : state) {
        int fd = connectDirectly(dir + "/direct.sock");
        LineReader directLines(fd);
        directLines.next();  // welcome
        Child helperProcess({helperPath(), "--socket", dir + "/helper.sock"}, true);
        Child relayProcess({ownPath, "--relay", dir + "/relay.sock"}, true);
        std::optional<Child> baselineProcess;
        if (!baselinePath.empty()) baselineProcess.emplace(std::vector<std::string>{baselinePath, "--socket", dir + "/baseline.sock"}, true);
        LineReader helperLines(helperProcess.out), relayLines(relayProcess.out);
        LineReader baselineLines(baselineProcess ? baselineProcess->out : -1);
        auto viaProcess = [](Child& process, LineReader& replies, int64_t from, int count) {
            auto start = Clock::now();
            for (int64_t i = from; i < from + count; ++i) {
                writeAll(process.in, toolCall(i, "list_agent_tabs", "{}"));
                if (replies.next() == 0) std::abort();
            }
            return microseconds(Clock::now() - start) / count;
        };
        viaProcess(helperProcess, helperLines, 0, 50);  // connect, hello, welcome, warm caches
        viaProcess(relayProcess, relayLines, 0, 50);
        if (baselineProcess) viaProcess(*baselineProcess, baselineLines, 0, 50);
        int64_t nextID = 1000;
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            for (int i = 0; i < calls; ++i) {
                writeAll(fd, AgentMessage::call(nextID + i, "list_agent_tabs", JSON(JSON::Object{})).line());
                if (directLines.next() == 0) std::abort();
            }
            double d = microseconds(Clock::now() - start) / calls;
            double h = viaProcess(helperProcess, helperLines, nextID, calls);
            double r = viaProcess(relayProcess, relayLines, nextID, calls);
            if (baselineProcess) baseline.add(viaProcess(*baselineProcess, baselineLines, nextID, calls));
            nextID += calls;
            direct.add(d);
            helper.add(h);
            relay.add(r);
        }
        ::close(fd);
    }
    direct.report(state, "direct_us");
    helper.report(state, "helper_us");
    relay.report(state, "relay_us");
    state.counters["helper_added_us"] = helper.min() - direct.min();
    state.counters["relay_added_us"] = relay.min() - direct.min();
    state.counters["added_helper_over_relay"] = (helper.min() - direct.min()) / (relay.min() - direct.min());
    if (!baselinePath.empty()) {
        baseline.report(state, "baseline_us");
        state.counters["baseline_added_us"] = baseline.min() - direct.min();
    }
    directBrowser.reset();
    helperBrowser.reset();
    relayBrowser.reset();
    baselineBrowser.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(PerCall)->Iterations(1)->Unit(benchmark::kMillisecond);

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
    const int count = 10'000, rounds = 15;
    std::string baseline = baselineHelper();
    Series helper, before;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            helper.add(pingBurstMilliseconds(helperPath(), count));
            if (!baseline.empty()) before.add(pingBurstMilliseconds(baseline, count));
        }
    }
    helper.report(state, "helper_ms");
    if (!baseline.empty()) {
        before.report(state, "baseline_ms");
        state.counters["helper_over_baseline"] = helper.min() / before.min();
    }
}
BENCHMARK(PingBurst)->Iterations(1)->Unit(benchmark::kMillisecond);

void LargeResult(benchmark::State& state) {
    const size_t size = 40u << 20;
    const int rounds = 15, idleRounds = 3;
    std::string dir = temporaryDirectory();
    std::vector<std::string> large = {"--result-bytes", std::to_string(size)};
    auto rawBrowser = startStandIn(dir + "/raw.sock", large);
    auto helperBrowser = startStandIn(dir + "/helper.sock", large);
    auto relayBrowser = startStandIn(dir + "/relay.sock", large);
    Series raw, relayed, first, steady, peak, idleBefore, idleAfter;
    Series baseFirst, baseSteady, basePeak, baseIdleBefore, baseIdleAfter;
    const std::string baselinePath = baselineHelper();
    auto baselineBrowser = baselinePath.empty() ? nullptr : startStandIn(dir + "/baseline.sock", large);
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
        "\n";

    for (auto _ : state) {
        // Raw: socket -> pipe in a relay thread, the pipe read here as the helper's output is.
        int fd = connectDirectly(dir + "/raw.sock");
        int pipeFDs[2];
        if (::pipe(pipeFDs) != 0) std::abort();
        std::thread rawRelay([fd, writeEnd = pipeFDs[1]] {
            std::vector<char> chunk(256 * 1024);
            while (true) {
                ssize_t n = ::read(fd, chunk.data(), chunk.size());
                if (n <= 0 || !writeAll(writeEnd, std::string_view(chunk.data(), static_cast<size_t>(n)))) break;
            }
            ::close(writeEnd);
        });
        LineReader rawLines(pipeFDs[0]);
        rawLines.next();  // welcome
        Child relayProcess({ownPath, "--relay", dir + "/relay.sock"}, true);
        LineReader relayLines(relayProcess.out), replies(-1);
        // One reader, warm, for every fresh helper: the helper's first result is measured, not ours.
        replies.reserve(size + (size >> 1));
        auto timed = [](int in, LineReader& out, const std::string& line) {
            auto start = Clock::now();
            writeAll(in, line);
            if (out.next() < size) std::abort();
            return microseconds(Clock::now() - start) / 1000;
        };
        auto readPage = [](int64_t id) { return toolCall(id, "read_page", R"({"tab":"tab-1"})"); };
        timed(fd, rawLines, AgentMessage::call(1, "read_page", JSON::object({{"tab", "tab-1"}})).line());  // warm-up
        timed(relayProcess.in, relayLines, readPage(1));
        for (int round = 0; round < rounds; ++round) {
            raw.add(timed(fd, rawLines, AgentMessage::call(round + 2, "read_page", JSON::object({{"tab", "tab-1"}})).line()));
            relayed.add(timed(relayProcess.in, relayLines, readPage(round + 2)));
            // A fresh helper each round: its first result, then two more.
            auto measure = [&](const std::string& program, const std::string& socket, Series& first, Series& steady, Series& peak,
                               Series& idleBefore, Series& idleAfter) {
                Child helper({program, "--socket", dir + socket}, true);
                replies.reset(helper.out);
                writeAll(helper.in, initialize);
                replies.next();
                idleBefore.add(statusBytes(helper.pid, "VmRSS:"));
                first.add(timed(helper.in, replies, readPage(1)));
                steady.add(std::min(timed(helper.in, replies, readPage(2)), timed(helper.in, replies, readPage(3))));
                peak.add(statusBytes(helper.pid, "VmHWM:"));
                if (round < idleRounds) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    idleAfter.add(statusBytes(helper.pid, "VmRSS:"));
                }
            };
            measure(helperPath(), "/helper.sock", first, steady, peak, idleBefore, idleAfter);
            if (!baselinePath.empty()) {
                measure(baselinePath, "/baseline.sock", baseFirst, baseSteady, basePeak, baseIdleBefore, baseIdleAfter);
            }
        }
        ::shutdown(fd, SHUT_RDWR);
        rawRelay.join();
        ::close(fd);
        ::close(pipeFDs[0]);
    }
    raw.report(state, "raw_ms");
    relayed.report(state, "relay_ms");
    steady.report(state, "helper_ms");
    first.report(state, "helper_first_ms");
    state.counters["helper_over_raw"] = steady.min() / raw.min();
    state.counters["relay_over_raw"] = relayed.min() / raw.min();
    state.counters["first_over_steady"] = first.min() / steady.min();
    peak.report(state, "peak_MiB", 1.0 / (1 << 20));
    state.counters["peak_over_result"] = peak.min() / static_cast<double>(size);
    idleBefore.report(state, "idle_before_MiB", 1.0 / (1 << 20));
    idleAfter.report(state, "idle_after_MiB", 1.0 / (1 << 20));
    state.counters["idle_after_over_before"] = idleAfter.at(1) / idleBefore.at(1);
    if (!baselinePath.empty()) {
        baseSteady.report(state, "baseline_ms");
        baseFirst.report(state, "baseline_first_ms");
        state.counters["baseline_over_raw"] = baseSteady.min() / raw.min();
        state.counters["baseline_peak_over_result"] = basePeak.min() / static_cast<double>(size);
        state.counters["baseline_idle_after_over_before"] = baseIdleAfter.at(1) / baseIdleBefore.at(1);
    }
    rawBrowser.reset();
    helperBrowser.reset();
    relayBrowser.reset();
    baselineBrowser.reset();
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

void SpawnToFirstLine(benchmark::State& state) {
    const int rounds = 30;
    std::string dir = temporaryDirectory();
    Series trivial, helper, before;
    const std::string baselinePath = baselineHelper();
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
        "\n";
    auto timed = [&](const std::vector<std::string>& arguments) {
        auto start = Clock::now();
        Child child(arguments, true);
        LineReader reply(child.out);
        writeAll(child.in, initialize);
        if (reply.next() == 0) std::abort();
        return microseconds(Clock::now() - start);
    };
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            trivial.add(timed({BOSKEN_TRIVIAL_EXE}));
            helper.add(timed({helperPath(), "--socket", dir + "/none.sock"}));
            if (!baselinePath.empty()) before.add(timed({baselinePath, "--socket", dir + "/none.sock"}));
        }
    }
    trivial.report(state, "trivial_us");
    helper.report(state, "helper_us");
    state.counters["helper_over_trivial"] = helper.min() / trivial.min();
    if (!baselinePath.empty()) state.counters["baseline_over_trivial"] = before.min() / trivial.min();
    std::filesystem::remove_all(dir);
}
BENCHMARK(SpawnToFirstLine)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ownPath = argv[0];
    if (argc == 3 && std::string_view(argv[1]) == "--relay") {
        ::signal(SIGPIPE, SIG_IGN);
        return relayMain(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
