// The TOML lexer on arbitrary bytes: statements must cover every line in order, and a string
// value or key path must never crash.

#include "AgentSetup/TOMLLexer.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto lines = AgentSetup::TOMLMCPConfig::split(bytes);
    if (auto statements = AgentSetup::TOMLLexer::statements(lines)) {
        size_t next = 0;
        for (const auto& statement : *statements) {
            if (statement.lines.first != next || statement.lines.end <= statement.lines.first) std::abort();
            next = statement.lines.end;
        }
        if (next != lines.size()) std::abort();
    }
    for (const auto& line : lines) {
        (void)AgentSetup::TOMLLexer::value(line);
        (void)AgentSetup::TOMLLexer::keyPath(line);
    }
    return 0;
}
