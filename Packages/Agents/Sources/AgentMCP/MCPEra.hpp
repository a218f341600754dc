#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "AgentWire/JSON.hpp"

namespace AgentMCP {

// The 2026-07-28 revision, served per message beside the initialize-based ones: its requests
// carry the protocol version and the client's capabilities in `params._meta` instead of a
// session. This tells them apart, checks them, and gives their results their shape; the
// server's tools stay the same.
class MCPEra {
public:
    static constexpr std::string_view modernVersion = "2026-07-28";
    static constexpr std::string_view versionKey = "io.modelcontextprotocol/protocolVersion";
    static constexpr std::string_view capabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
    static constexpr std::string_view clientInfoKey = "io.modelcontextprotocol/clientInfo";
    static constexpr std::string_view serverInfoKey = "io.modelcontextprotocol/serverInfo";

    // The client a modern request names in `_meta` (empty when it names none).
    struct Client {
        std::string name;
        std::string version;
        friend bool operator==(const Client&, const Client&) = default;
    };

    // True for a message of the modern era: its `params._meta` holds the version key and its
    // method is not "initialize".
    static bool isModern(const AgentWire::JSON& message);

    // The client of a modern request whose `_meta` is sound and whose method this era has; else
    // the error reply: -32602 for a missing or mistyped key, -32022 for another version (with
    // every version the helper speaks), -32601 for any other method.
    static std::variant<Client, AgentWire::JSON> check(const AgentWire::JSON& id, std::string_view method,
                                                       const AgentWire::JSON& params);

    // The result of "server/discover"; it touches nothing.
    static AgentWire::JSON discover(std::string_view serverVersion);

    // Adds to a result what every modern result carries; `cacheable` adds the cache hints of a
    // list.
    static void decorate(AgentWire::JSON::Object& result, std::string_view serverVersion, bool cacheable);

    // The helper's identity, as "initialize" and modern results give it.
    static AgentWire::JSON serverInfo(std::string_view serverVersion);
};

}  // namespace AgentMCP
