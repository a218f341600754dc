#include "AgentMCP/ToolCallScan.hpp"

#include <charconv>

#include "AgentMCP/MCPEra.hpp"
#include "AgentWire/JSON.hpp"
#include "AgentWire/JSONScan.hpp"

namespace AgentMCP::ToolCallScan {

using AgentWire::JSONScan;

namespace {

// A member the fast road reads: its value's span, once. A second one, or an escaped key
// that might spell one, sends the line to the general road, which keeps the later value.
struct Span {
    std::string_view text;
    bool seen = false;

    bool take(JSONScan& scan, bool& canonical) {
        if (seen) return false;
        seen = true;
        const char* start = scan.position();
        if (!scan.value(canonical)) return false;
        text = std::string_view(start, static_cast<size_t>(scan.position() - start));
        return true;
    }
};

// One object over the whole of `line`, every member handed to `member`.
template <class Member> bool wholeObject(std::string_view line, Member&& member) {
    JSONScan scan(line);
    bool ignored = true;
    scan.skipSpace(ignored);
    if (!scan.object(ignored, [&](std::string_view key, bool plain) { return plain && member(scan, key); })) return false;
    scan.skipSpace(ignored);
    return scan.atEnd();
}

// params._meta, in any form, unless it may name the protocol version (an escaped key might):
// such requests are of the later era, whose replies carry more than the fast road writes.
bool takeMeta(JSONScan& scan, Span& meta) {
    bool anyForm = true;
    if (scan.peek() != '{') return meta.take(scan, anyForm);
    if (meta.seen) return false;
    meta.seen = true;
    const char* start = scan.position();
    bool legacy = scan.object(anyForm, [&](std::string_view key, bool plain) {
        return plain && key != MCPEra::versionKey && scan.value(anyForm);
    });
    meta.text = std::string_view(start, static_cast<size_t>(scan.position() - start));
    return legacy;
}

}  // namespace

std::optional<Request> request(std::string_view line) {
    // Most lines are other requests: they cost one search, not a scan.
    if (line.find(R"(tools/call")") == std::string_view::npos) return std::nullopt;
    Span id, method, name, arguments, meta;
    bool canonical = true, paramsObject = true, seenParams = false;
    auto member = [&](JSONScan& scan, std::string_view key) {
        if (key == "id") return id.take(scan, canonical);
        if (key == "method") return method.take(scan, canonical);
        if (key != "params") {
            bool ignored = true;
            return scan.value(ignored);
        }
        if (seenParams) return false;
        seenParams = true;
        if (scan.peek() != '{') {
            paramsObject = false;
            bool ignored = true;
            return scan.value(ignored);
        }
        bool ignored = true;
        return scan.object(ignored, [&](std::string_view inner, bool plain) {
            if (!plain) return false;
            if (inner == "name") return name.take(scan, canonical);
            if (inner == "arguments") return arguments.take(scan, canonical);
            if (inner == "_meta") return takeMeta(scan, meta);
            bool unused = true;
            return scan.value(unused);
        });
    };
    if (!wholeObject(line, member) || !canonical || !id.seen || method.text != R"("tools/call")" || !paramsObject ||
        !name.seen || name.text.front() != '"') {
        return std::nullopt;
    }
    return Request{id.text, name.text, arguments.seen ? arguments.text : std::string_view("{}"), meta.text};
}

void appendCallLine(std::string& out, const Request& request, int64_t callID) {
    char id[24];
    auto end = std::to_chars(id, id + sizeof id, callID).ptr;
    out.append(R"({"arguments":)").append(request.arguments).append(R"(,"id":)");
    out.append(id, end).append(R"(,"tool":)").append(request.name).append(R"(,"type":"call"})").push_back('\n');
}

size_t Reply::size() const {
    size_t size = 0;
    for (auto part : parts) size += part.size();
    return size;
}

std::string Reply::str() const {
    std::string out;
    out.reserve(size());
    for (auto part : parts) out.append(part);
    return out;
}

std::optional<Reply> reply(std::string_view line, int64_t callID, std::string_view requestID) {
    Span type, id, content, isError;
    bool canonical = true;
    auto member = [&](JSONScan& scan, std::string_view key) {
        if (key == "type") return type.take(scan, canonical);
        if (key == "id") return id.take(scan, canonical);
        if (key == "content") return content.take(scan, canonical);
        if (key == "isError") return isError.take(scan, canonical);
        bool ignored = true;
        return scan.value(ignored);
    };
    if (!wholeObject(line, member) || !canonical || type.text != R"("result")" || !content.seen ||
        content.text.front() != '[') {
        return std::nullopt;
    }
    char expected[24];
    auto end = std::to_chars(expected, expected + sizeof expected, callID).ptr;
    if (id.text != std::string_view(expected, static_cast<size_t>(end - expected))) return std::nullopt;
    std::string_view tail;
    if (!isError.seen || isError.text == "false") {
        tail = ",\"isError\":false}}\n";
    } else if (isError.text == "true") {
        tail = ",\"isError\":true}}\n";
    } else {
        return std::nullopt;
    }
    return Reply{{"{\"id\":", requestID, R"(,"jsonrpc":"2.0","result":{"content":)", content.text, tail}};
}

std::string replyFor(std::string_view requestID, const ToolOutcome& outcome) {
    // The id is already in the writer's form; the rest is written as the server writes it.
    AgentWire::JSON::Object result;
    result.appendUnchecked("content", AgentWire::JSON(outcome.content));
    result.appendUnchecked("isError", outcome.isError);
    std::string out = "{\"id\":";
    out.append(requestID).append(R"(,"jsonrpc":"2.0","result":)");
    AgentWire::JSON(std::move(result)).write(out);
    out.append("}\n");
    return out;
}

}  // namespace AgentMCP::ToolCallScan
