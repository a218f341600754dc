// The TOML merge on arbitrary bytes: a merged file must be readable, name the helper as its
// command, and merge again to the same bytes.

#include "AgentSetup/TOMLLexer.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace AgentSetup;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
    std::string bytes(reinterpret_cast<const char*>(data), size);
    auto result = TOMLMCPConfig::merged(bytes, "bosken", helper);
    auto* merged = std::get_if<std::string>(&result);
    if (!merged) return 0;

    auto lines = TOMLMCPConfig::split(*merged);
    auto located = TOMLMCPConfig::locate(lines, "bosken");
    auto* found = std::get_if<TOMLMCPConfig::Located>(&located);
    if (!found || !found->command || !found->args) std::abort();
    if (TOMLLexer::value(lines[found->command->lines.first]) != helper) std::abort();
    if (TOMLMCPConfig::merged(*merged, "bosken", helper) != result) std::abort();
    return 0;
}
