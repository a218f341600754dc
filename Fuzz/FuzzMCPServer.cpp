// One MCP line of arbitrary bytes, then the resume record read from the same bytes: no crash,
// and every reply is one line of JSON.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "AgentMCP/MCPResume.hpp"
#include "AgentMCP/MCPServer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    static AgentMCP::MCPServer server("0.4.1");
    if (auto reply = server.handle(bytes).reply) {
        if (reply->find('\n') != std::string::npos || !AgentWire::JSON::parsed(*reply)) std::abort();
    }
    if (auto record = AgentMCP::MCPResume::fromEncoded(bytes)) {
        auto again = AgentMCP::MCPResume::fromEncoded(record->encoded());
        if (!again || !(*again == *record)) std::abort();
    }
    return 0;
}
