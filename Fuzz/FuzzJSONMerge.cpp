// The JSON merge on arbitrary bytes: a merged file must parse, name the helper as the server's
// command, keep every other root member, and merge again to the same bytes.

#include "AgentSetup/JSONMCPConfig.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace AgentSetup;
using AgentWire::JSON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
    const JSON entry = JSON::object({{"command", JSON(helper)}, {"args", JSON::array({})}});
    std::string bytes(reinterpret_cast<const char*>(data), size);

    auto command = JSONMCPConfig::command(bytes, "bosken");
    auto result = JSONMCPConfig::merged(bytes, "bosken", entry);
    auto* merged = std::get_if<std::string>(&result);
    if (!merged) {
        // Only a layout problem may differ between the two: command() never checks mcpServers.
        auto* problem = std::get_if<JSONMCPConfig::Problem>(&result);
        if (!problem->isLayout && !std::holds_alternative<JSONMCPConfig::Problem>(command)) std::abort();
        return 0;
    }
    if (merged->empty() || merged->back() != '\n') std::abort();
    if (JSONMCPConfig::command(*merged, "bosken") != decltype(command)(std::optional<std::string>(helper))) std::abort();
    if (JSONMCPConfig::merged(*merged, "bosken", entry) != result) std::abort();

    auto before = JSON::parsed(bytes, {.exactNumbers = true});
    auto after = JSON::parsed(*merged, {.exactNumbers = true});
    if (!after) std::abort();
    if (before && before->object()) {
        for (const auto& member : *before->object()) {
            if (member.key == "mcpServers") continue;
            const JSON* kept = (*after)[member.key];
            if (!kept || kept->data() != member.value.data()) std::abort();
        }
    }
    return 0;
}
