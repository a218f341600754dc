#pragma once

// A large agent-app settings file for the benchmarks.

#include <cstddef>
#include <string>

// About `target` bytes of Claude Code settings: many projects with histories and numbers.
inline std::string largeClaudeSettings(std::size_t target) {
    std::string out = "{\n  \"numStartups\": 412,\n  \"mcpServers\": {\n";
    for (int i = 0; i < 10; ++i)
        out += "    \"server" + std::to_string(i) + "\": {\"type\": \"stdio\", \"command\": \"/usr/local/bin/tool" +
               std::to_string(i) + "\", \"args\": [], \"env\": {}},\n";
    out += "    \"last\": {\"command\": \"x\"}\n  },\n  \"projects\": {\n";
    for (int i = 0; out.size() < target; ++i) {
        out += "    \"/Users/me/src/project-" + std::to_string(i) + "\": {\"allowedTools\": [\"Read\", \"Edit\"], "
               "\"history\": [{\"display\": \"fix the \\\"flaky\\\" test in caf\xC3\xA9 \\u2014 again\", "
               "\"pastedContents\": {}}], \"lastCost\": 0.123456789012345678, \"lastTokens\": " +
               std::to_string(123456789 + i) + ", \"trusted\": true},\n";
    }
    out += "    \"/Users/me/last\": {}\n  }\n}\n";
    return out;
}
