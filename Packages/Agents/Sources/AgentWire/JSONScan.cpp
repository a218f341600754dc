#include "AgentWire/JSONScan.hpp"

#include <fast_float/fast_float.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "AgentWire/ByteScan.hpp"

namespace AgentWire {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The writer's text for the number `d`, into `out` (at least 32 bytes); its length.
size_t writtenNumber(double d, char* out) {
    if (std::isfinite(d) && std::fabs(d) < 9e15 && std::round(d) == d) {
        return static_cast<size_t>(std::to_chars(out, out + 32, static_cast<int64_t>(d)).ptr - out);
    }
    if (!std::isfinite(d)) return 0;
    return static_cast<size_t>(std::to_chars(out, out + 32, d).ptr - out);
}

}  // namespace

void JSONScan::skipSpace(bool& canonical) {
    const char* start = p_;
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    if (p_ != start) canonical = false;
}

bool JSONScan::value(bool& canonical) {
    switch (peek()) {
    case '{': return object(canonical, [&](std::string_view, bool) { return value(canonical); });
    case '[': return array(canonical);
    case '"': {
        bool plain = true;
        return string(canonical, plain);
    }
    case 't': return literal("true");
    case 'f': return literal("false");
    case 'n': return literal("null");
    case '\0': return false;
    default: return number(canonical);
    }
}

bool JSONScan::objectWith(bool& canonical, MemberFunction member, void* context) {
    if (peek() != '{' || depth_ == maxDepth) return false;
    ++depth_;
    ++p_;
    skipSpace(canonical);
    if (peek() == '}') {
        ++p_;
        --depth_;
        return true;
    }
    std::string_view previous;
    bool first = true;
    while (true) {
        if (peek() != '"') return false;
        const char* start = p_ + 1;
        bool plain = true;
        if (!string(canonical, plain)) return false;
        std::string_view key(start, static_cast<size_t>(p_ - 1 - start));
        // The writer sorts keys by their bytes; an escaped key's bytes are not its text, so
        // its order is not judged here.
        if (!plain || (!first && !(previous < key))) canonical = false;
        previous = key;
        first = false;
        skipSpace(canonical);
        if (peek() != ':') return false;
        ++p_;
        skipSpace(canonical);
        if (!member(context, key, plain)) return false;
        skipSpace(canonical);
        if (peek() == ',') {
            ++p_;
            skipSpace(canonical);
            continue;
        }
        if (peek() != '}') return false;
        ++p_;
        --depth_;
        return true;
    }
}

bool JSONScan::array(bool& canonical) {
    if (depth_ == maxDepth) return false;
    ++depth_;
    ++p_;
    skipSpace(canonical);
    if (peek() == ']') {
        ++p_;
        --depth_;
        return true;
    }
    while (true) {
        if (!value(canonical)) return false;
        skipSpace(canonical);
        if (peek() == ',') {
            ++p_;
            skipSpace(canonical);
            continue;
        }
        if (peek() != ']') return false;
        ++p_;
        --depth_;
        return true;
    }
}

bool JSONScan::string(bool& canonical, bool& plain) {
    ++p_;  // opening quote
    while (true) {
        p_ += ByteScan::textRun(p_, static_cast<size_t>(end_ - p_));
        if (p_ == end_) return false;
        if (*p_ == '"') {
            ++p_;
            return true;
        }
        if (*p_ != '\\') return false;  // a control byte or broken UTF-8
        plain = false;
        if (!escape(canonical)) return false;
    }
}

// A backslash escape; the writer emits the two-byte forms for '"', '\\' and \b \f \n \r \t,
// and \u00xx (lower-case hex) for the other control bytes, nothing else.
bool JSONScan::escape(bool& canonical) {
    if (end_ - p_ < 2) return false;
    char e = p_[1];
    p_ += 2;
    switch (e) {
    case '"':
    case '\\':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't': return true;
    case '/': canonical = false; return true;
    case 'u': break;
    default: return false;
    }
    auto hex4 = [this](uint32_t& out) {
        if (end_ - p_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            int h = hexValue(p_[i]);
            if (h < 0) return false;
            out = (out << 4) | static_cast<uint32_t>(h);
        }
        return true;
    };
    uint32_t code;
    if (!hex4(code)) return false;
    static const char lowerHex[] = "0123456789abcdef";
    const bool shortForm = code == '\b' || code == '\f' || code == '\n' || code == '\r' || code == '\t';
    if (code >= 0x20 || shortForm || p_[0] != '0' || p_[1] != '0' || p_[2] != lowerHex[code >> 4] ||
        p_[3] != lowerHex[code & 0xF]) {
        canonical = false;
    }
    p_ += 4;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
    if (code >= 0xD800 && code <= 0xDBFF) {
        uint32_t low;
        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
        p_ += 2;
        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        p_ += 4;
    }
    return true;
}

bool JSONScan::number(bool& canonical) {
    const char* start = p_;
    auto digits = [this] {
        const char* from = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return static_cast<size_t>(p_ - from);
    };
    if (peek() == '-') ++p_;
    size_t integerDigits;
    if (peek() == '0') {
        ++p_;
        integerDigits = 1;
    } else {
        integerDigits = digits();
        if (integerDigits == 0) return false;
    }
    bool plainInteger = true;
    if (peek() == '.') {
        ++p_;
        if (digits() == 0) return false;
        plainInteger = false;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++p_;
        if (peek() == '+' || peek() == '-') ++p_;
        if (digits() == 0) return false;
        plainInteger = false;
    }
    if (!canonical) return true;
    const size_t length = static_cast<size_t>(p_ - start);
    // Up to 15 digits is below 9e15: the writer writes such an integer as it is, but -0 as 0.
    if (plainInteger && integerDigits <= 15) {
        if (*start == '-' && start[1] == '0') canonical = false;
        return true;
    }
    double value = 0;
    // As the parser reads it: std::from_chars for doubles is missing from some C++ libraries.
    auto parsed = fast_float::from_chars(start, p_, value);
    char written[32];
    if (parsed.ec != std::errc() || parsed.ptr != p_ || writtenNumber(value, written) != length ||
        std::memcmp(written, start, length) != 0) {
        canonical = false;
    }
    return true;
}

bool JSONScan::literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) return false;
    p_ += word.size();
    return true;
}

}  // namespace AgentWire
