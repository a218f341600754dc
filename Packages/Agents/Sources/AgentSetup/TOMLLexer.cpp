#include "AgentSetup/TOMLLexer.hpp"

#include <cstdint>

#include "AgentWire/UTF8.hpp"

namespace AgentSetup::TOMLLexer {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Decodes the escape whose letter is at s[i] (just after a backslash) onto `out` and returns the
// index of its last byte. TOML's escapes are decoded, so a value written with \u001B reads back
// as ESC; anything else gives the letter itself.
size_t appendEscape(std::string& out, std::string_view s, size_t i) {
    char c = s[i];
    switch (c) {
    case 'b': out.push_back('\b'); return i;
    case 't': out.push_back('\t'); return i;
    case 'n': out.push_back('\n'); return i;
    case 'f': out.push_back('\f'); return i;
    case 'r': out.push_back('\r'); return i;
    case 'e': out.push_back('\x1B'); return i;
    case 'u':
    case 'U': {
        size_t digits = c == 'u' ? 4 : 8;
        if (s.size() - i - 1 >= digits) {
            uint32_t cp = 0;
            bool hex = true;
            for (size_t k = 1; k <= digits && hex; ++k) {
                char d = s[i + k];
                uint32_t v = d >= '0' && d <= '9' ? uint32_t(d - '0')
                           : d >= 'a' && d <= 'f' ? uint32_t(d - 'a' + 10)
                           : d >= 'A' && d <= 'F' ? uint32_t(d - 'A' + 10) : 16;
                hex = v < 16;
                cp = (cp << 4) | (v & 0xF);
            }
            if (hex && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                AgentWire::UTF8::append(out, cp);
                return i + digits;
            }
        }
        out.push_back(c);
        return i;
    }
    default: out.push_back(c); return i;
    }
}

std::string decodedOrEmpty(std::string bytes) { return AgentWire::UTF8::isValid(bytes) ? bytes : std::string(); }

// First `target` byte outside single- or double-quoted parts, with the escape rule of basic
// strings.
std::optional<size_t> firstOutsideQuotes(std::string_view bytes, char target) {
    char quote = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (quote == 0) {
            if (c == '"' || c == '\'') quote = c;
            else if (c == target) return i;
        } else if (quote == '\'') {
            if (c == '\'') quote = 0;
        } else if (c == '\\') {
            ++i;
        } else if (c == '"') {
            quote = 0;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string_view trimmed(std::string_view bytes) {
    size_t b = 0, e = bytes.size();
    while (b < e && isBlank(bytes[b])) ++b;
    while (e > b && isBlank(bytes[e - 1])) --e;
    return bytes.substr(b, e - b);
}

std::optional<size_t> firstEquals(std::string_view bytes) { return firstOutsideQuotes(bytes, '='); }

std::optional<std::vector<std::string>> keyPath(std::string_view key) {
    std::vector<std::string> path;
    std::string segment;
    bool quotedSegment = false;
    char quote = 0;

    auto endSegment = [&]() -> bool {
        if (!quotedSegment) {
            std::string_view bare = trimmed(segment);
            if (bare.empty()) return false;
            segment = std::string(bare);
        }
        path.push_back(decodedOrEmpty(std::move(segment)));
        segment.clear();
        quotedSegment = false;
        return true;
    };

    for (size_t i = 0; i < key.size(); ++i) {
        char c = key[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else segment.push_back(c);
        } else if (quote == '"') {
            if (c == '\\' && i + 1 < key.size()) {
                i = appendEscape(segment, key, i + 1);
            } else if (c == '"') {
                quote = 0;
            } else {
                segment.push_back(c);
            }
        } else if (c == ' ' || c == '\t') {
            continue;
        } else if (c == '"' || c == '\'') {
            quote = c;
            quotedSegment = true;
        } else if (c == '.') {
            if (!endSegment()) return std::nullopt;
        } else {
            segment.push_back(c);
        }
    }
    if (quote != 0 || !endSegment()) return std::nullopt;
    return path;
}

std::optional<Statement::Header> header(std::string_view line) {
    if (line.empty() || line[0] != '[') return std::nullopt;
    bool isArray = line.size() >= 2 && line[1] == '[';
    size_t keyStart = isArray ? 2 : 1;
    std::string_view rest = line.substr(keyStart);
    auto close = firstOutsideQuotes(rest, ']');
    if (!close) return std::nullopt;
    size_t after = *close + 1;
    if (isArray) {
        if (after >= rest.size() || rest[after] != ']') return std::nullopt;
        ++after;
    }
    std::string_view tail = trimmed(rest.substr(after));
    if (!tail.empty() && tail[0] != '#') return std::nullopt;
    auto path = keyPath(rest.substr(0, *close));
    if (!path) return std::nullopt;
    return Statement::Header{std::move(*path), isArray};
}

std::optional<size_t> valueEnd(const std::vector<std::string>& lines, size_t line, size_t column) {
    enum class State { none, basic, literal, multiBasic, multiLiteral };
    State state = State::none;
    long depth = 0;
    for (size_t l = line; l < lines.size(); ++l) {
        std::string_view s = lines[l];
        size_t i = (l == line) ? column : 0;
        auto tripled = [&](size_t at) { return at + 2 < s.size() && s[at + 1] == s[at] && s[at + 2] == s[at]; };
        while (i < s.size()) {
            char c = s[i];
            switch (state) {
            case State::none:
                if (c == '#') {
                    i = s.size();
                    continue;
                }
                if (c == '[' || c == '{') ++depth;
                else if (c == ']' || c == '}') --depth;
                else if (c == '"' || c == '\'') {
                    bool multi = tripled(i);
                    state = c == '"' ? (multi ? State::multiBasic : State::basic)
                                     : (multi ? State::multiLiteral : State::literal);
                    i += multi ? 3 : 1;
                    continue;
                }
                ++i;
                break;
            case State::basic:
            case State::multiBasic:
                if (c == '\\') {
                    i += 2;
                } else if (c == '"' && state == State::basic) {
                    state = State::none;
                    ++i;
                } else if (c == '"' && tripled(i)) {
                    state = State::none;
                    i += 3;
                } else {
                    ++i;
                }
                break;
            case State::literal:
                if (c == '\'') state = State::none;
                ++i;
                break;
            case State::multiLiteral:
                if (c == '\'' && tripled(i)) {
                    state = State::none;
                    i += 3;
                } else {
                    ++i;
                }
                break;
            }
        }
        if (state == State::multiBasic || state == State::multiLiteral) continue;
        state = State::none;
        if (depth <= 0) return l;
    }
    return std::nullopt;
}

std::optional<std::vector<Statement>> statements(const std::vector<std::string>& lines) {
    std::vector<Statement> result;
    size_t i = 0;
    while (i < lines.size()) {
        std::string_view raw = lines[i];
        // A byte-order mark may open the file; it belongs to no statement.
        if (i == 0 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
        std::string_view line = trimmed(raw);
        if (line.empty() || line[0] == '#') {
            result.push_back({Statement::Other{}, {i, i + 1}});
            ++i;
            continue;
        }
        if (line[0] == '[') {
            auto h = header(line);
            if (!h) return std::nullopt;
            result.push_back({std::move(*h), {i, i + 1}});
            ++i;
            continue;
        }
        auto equals = firstEquals(line);
        if (!equals) return std::nullopt;
        auto key = keyPath(line.substr(0, *equals));
        if (!key) return std::nullopt;
        // The column is counted in the untrimmed line, where the value scan starts.
        size_t column = static_cast<size_t>(line.data() - lines[i].data()) + *equals + 1;
        auto last = valueEnd(lines, i, column);
        if (!last) return std::nullopt;
        result.push_back({Statement::Pair{std::move(*key)}, {i, *last + 1}});
        i = *last + 1;
    }
    return result;
}

std::optional<std::string> value(std::string_view line) {
    std::string_view t = trimmed(line);
    auto equals = firstEquals(t);
    if (!equals) return std::nullopt;
    std::string_view v = trimmed(t.substr(*equals + 1));
    if (v.empty() || (v[0] != '"' && v[0] != '\'')) return std::nullopt;
    char quote = v[0];
    std::string text;
    for (size_t i = 1; i < v.size(); ++i) {
        char c = v[i];
        if (c == quote) return AgentWire::UTF8::isValid(text) ? std::optional<std::string>(std::move(text)) : std::nullopt;
        if (quote == '"' && c == '\\' && i + 1 < v.size()) {
            i = appendEscape(text, v, i + 1);
        } else {
            text.push_back(c);
        }
    }
    return std::nullopt;
}

}  // namespace AgentSetup::TOMLLexer
