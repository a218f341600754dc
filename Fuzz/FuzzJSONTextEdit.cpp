// The in-place JSON/JSONC edit on arbitrary bytes (the first byte picks the syntax): for any
// file the reader accepts, the edited file parses, holds the entry, keeps every other value,
// differs from the input only by inserted text (or inside the old entry), and edits again to
// the same bytes.

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

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

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

    // Without an old entry, only white space of the input may go.
    if (!edit->member()) {
        size_t prefix = 0, suffix = 0;
        while (prefix < bytes.size() && prefix < out->size() && bytes[prefix] == (*out)[prefix]) ++prefix;
        while (suffix < bytes.size() - prefix && suffix < out->size() - prefix &&
               bytes[bytes.size() - 1 - suffix] == (*out)[out->size() - 1 - suffix])
            ++suffix;
        if (!isBlank(std::string_view(bytes).substr(prefix, bytes.size() - prefix - suffix))) std::abort();
    }

    auto again = JSONTextEdit::read(*out, syntax, "mcpServers", "bosken");
    auto* second = std::get_if<JSONTextEdit>(&again);
    if (!second || second->set(entry) != set) std::abort();
    auto removed = second->removed(true);
    auto* back = std::get_if<std::string>(&removed);
    if (!back || withoutEntry(JSONTextEdit::parsed(*back, syntax))->data() != before->data()) std::abort();
    return 0;
}
