#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace StandIn {

// How the stand-in browser behaves, from its command line.
struct Options {
    enum class StopAt { never, hello, between, call };

    std::string socketPath;
    std::string logPath;                  // empty: no log
    int pending = 0;                      // pending lines sent before deciding
    bool deny = false;
    std::optional<std::string> denyReason;
    StopAt stopAt = StopAt::never;
    std::optional<std::string> stopReason;
    bool silent = false;                  // never answer calls
    bool silentHello = false;             // never answer hello
    bool closeMidLine = false;
    bool garbage = false;
    bool overlong = false;
    int lateMilliseconds = 0;
    bool wrongID = false;
    std::optional<size_t> resultBytes;
    std::optional<int> closeAfterCalls;   // first connection only
    std::optional<std::string> rawText;   // every result is one text item written as this JSON string

    // The options, or a usage error text.
    static std::variant<Options, std::string> parse(const std::vector<std::string>& arguments);
};

// The usage text printed with a usage error.
extern const char* const usage;

}  // namespace StandIn
