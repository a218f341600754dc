// The wire parser on arbitrary bytes: no crash, whatever parses serializes to text that parses
// back to an equal value (both readings of numbers).

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "AgentWire/JSON.hpp"

using AgentWire::JSON;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto wire = JSON::parsed(bytes);
    auto exact = JSON::parsed(bytes, {.exactNumbers = true});
    if (wire.has_value() != exact.has_value()) std::abort();
    // Reading lone surrogates as U+FFFD accepts more, changes nothing else, and writes valid UTF-8.
    auto lenient = JSON::parsed(bytes, {.loneSurrogatesAsReplacement = true});
    if ((wire && !(lenient && *lenient == *wire)) || (lenient && !JSON::parsed(lenient->data()))) std::abort();
    if (!wire) return 0;
    auto again = JSON::parsed(wire->data());
    if (!again || !(*again == *wire)) std::abort();
    auto pretty = JSON::parsed(exact->serialized({.pretty = true, .sortedKeys = false}), {.exactNumbers = true});
    if (!pretty || pretty->serialized({}) != exact->serialized({})) std::abort();
    return 0;
}
