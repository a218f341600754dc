// The in-place JSON/JSONC edit on arbitrary bytes (the first byte picks the syntax): for any
// file the reader accepts, the edited file parses, holds the entry, keeps every other value and
// edits again to the same bytes; without an old entry, removing the new one gives the input
// back but for white space.

#include "AgentSetup/JSONTextEdit.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using AgentSetup::JSONTextEdit;
using AgentWire::JSON;

namespace {

// The document without servers.bosken (and without a servers object left empty by that).
std::optional<JSON> withoutEntry(std::optional<JSON> document) {
    if (!document || !document->object()) return document;
    if (JSON* servers = document->object()->find("mcpServers"); servers && servers->object()) {
        servers->object()->erase("bosken");
        if (servers->object()->empty()) document->object()->erase("mcpServers");
    }
    return document;
}

std::string withoutSpace(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out.push_back(c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const JSONTextEdit::Syntax syntax{.comments = (data[0] & 1) != 0, .trailingCommas = (data[0] & 2) != 0};
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const JSON entry = JSON::object({{"command", JSON("/Applications/Bosken.app/Contents/Helpers/bosken-mcp")},
                                     {"args", JSON::array({})}});

    auto read = JSONTextEdit::read(bytes, syntax, "mcpServers", "bosken");
    auto* edit = std::get_if<JSONTextEdit>(&read);
    if (!edit || edit->isBlank()) return 0;
    auto set = edit->set(entry);
    auto* out = std::get_if<std::string>(&set);
    if (!out) {
        if (!std::get<JSONTextEdit::Problem>(set).isLayout) std::abort();
        return 0;
    }

    auto after = JSONTextEdit::parsed(*out, syntax);
    if (!after) std::abort();
    const JSON* servers = (*after)["mcpServers"];
    const JSON* held = servers ? (*servers)["bosken"] : nullptr;
    if (!held || *held != entry) std::abort();
    auto before = withoutEntry(JSONTextEdit::parsed(bytes, syntax));
    auto rest = withoutEntry(after);
    if (!before || before->data() != rest->data()) std::abort();

    auto again = JSONTextEdit::read(*out, syntax, "mcpServers", "bosken");
    auto* second = std::get_if<JSONTextEdit>(&again);
    if (!second || second->set(entry) != set) std::abort();
    // Without an old entry, taking the new one out again gives back the input's every byte but
    // white space: the edit added only the member and a comma.
    if (!edit->member()) {
        const JSON* hadServers = (*JSONTextEdit::parsed(bytes, syntax))["mcpServers"];
        auto removed = second->removed(!hadServers);
        auto* back = std::get_if<std::string>(&removed);
        if (!back || withoutSpace(*back) != withoutSpace(bytes)) std::abort();
    }
    return 0;
}
