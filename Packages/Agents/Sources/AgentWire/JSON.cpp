#include "AgentWire/JSON.hpp"

#include "AgentWire/ByteScan.hpp"
#include "AgentWire/UTF8.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include <fast_float/fast_float.h>

namespace AgentWire {

namespace {

constexpr double kIntegralLimit = 9e15;

bool isIntegralInRange(double d) {
    return std::isfinite(d) && std::fabs(d) < kIntegralLimit && std::round(d) == d;
}

// Length of the run of bytes from `p` that need no attention inside a string.
inline size_t plainRun(const char* p, size_t n, bool stopAtNonASCII) {
    return ByteScan::stringRun(p, n, stopAtNonASCII);
}

}  // namespace

class JSONParser {
public:
    JSONParser(std::string_view text, JSON::ParseOptions options)
        : p_(text.data()), end_(text.data() + text.size()), options_(options) {}

    bool parseDocument(JSON& out) {
        skipSpace();
        if (!parseValue(out, 0)) return false;
        skipSpace();
        return p_ == end_;
    }

private:
    const char* p_;
    const char* end_;
    JSON::ParseOptions options_;

    void skipSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
            return false;
        p_ += word.size();
        return true;
    }

    bool parseValue(JSON& out, size_t depth) {
        if (p_ == end_) return false;
        switch (*p_) {
        case '{': return parseObject(out, depth + 1);
        case '[': return parseArray(out, depth + 1);
        case '"': {
            std::string s;
            if (!parseString(s)) return false;
            out = JSON(std::move(s));
            return true;
        }
        case 't':
            if (!literal("true")) return false;
            out = JSON(true);
            return true;
        case 'f':
            if (!literal("false")) return false;
            out = JSON(false);
            return true;
        case 'n':
            if (!literal("null")) return false;
            out = JSON();
            return true;
        default: return parseNumber(out);
        }
    }

    // Elements and members are gathered on shared stacks and moved into containers of the exact
    // size once complete: growing each container by doubling would waste up to half of a large
    // file's tree and reallocate it repeatedly.
    std::vector<JSON> elementStack_;
    std::vector<JSON::Member> memberStack_;

    bool parseArray(JSON& out, size_t depth) {
        if (depth > options_.maxDepth) return false;
        ++p_;  // [
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            out = JSON(JSON::Array());
            return true;
        }
        const size_t mark = elementStack_.size();
        while (true) {
            skipSpace();
            JSON value;
            if (!parseValue(value, depth)) return false;
            elementStack_.push_back(std::move(value));
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == ']') {
                ++p_;
                break;
            }
            return false;
        }
        auto first = elementStack_.begin() + static_cast<ptrdiff_t>(mark);
        out = JSON(JSON::Array(std::make_move_iterator(first), std::make_move_iterator(elementStack_.end())));
        elementStack_.erase(first, elementStack_.end());
        return true;
    }

    bool parseObject(JSON& out, size_t depth) {
        if (depth > options_.maxDepth) return false;
        ++p_;  // {
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            out = JSON(JSON::Object());
            return true;
        }
        const size_t mark = memberStack_.size();
        while (true) {
            skipSpace();
            if (p_ == end_ || *p_ != '"') return false;
            std::string key;
            if (!parseString(key)) return false;
            skipSpace();
            if (p_ == end_ || *p_ != ':') return false;
            ++p_;
            skipSpace();
            JSON value;
            if (!parseValue(value, depth)) return false;
            memberStack_.push_back(JSON::Member{std::move(key), std::move(value)});
            skipSpace();
            if (p_ == end_) return false;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == '}') {
                ++p_;
                break;
            }
            return false;
        }
        auto first = memberStack_.begin() + static_cast<ptrdiff_t>(mark);
        std::vector<JSON::Member> members(std::make_move_iterator(first), std::make_move_iterator(memberStack_.end()));
        memberStack_.erase(first, memberStack_.end());
        removeRepeatedKeys(members);
        JSON::Object object;
        object.members_ = std::move(members);
        out = JSON(std::move(object));
        return true;
    }

    // A repeated key keeps the later value at the first key's place.
    static void removeRepeatedKeys(std::vector<JSON::Member>& members) {
        const size_t n = members.size();
        std::vector<bool> dropped;
        auto drop = [&](size_t kept, size_t later) {
            members[kept].value = std::move(members[later].value);
            if (dropped.empty()) dropped.assign(n, false);
            dropped[later] = true;
        };
        if (n <= 16) {
            for (size_t j = 1; j < n; ++j) {
                for (size_t i = 0; i < j; ++i) {
                    if (!(dropped.empty() || !dropped[i])) continue;
                    if (members[i].key == members[j].key) {
                        drop(i, j);
                        break;
                    }
                }
            }
        } else {
            // Open addressing over member positions: one allocation, no node per key.
            size_t capacity = 32;
            while (capacity < 2 * n) capacity *= 2;
            std::vector<uint32_t> slots(capacity, UINT32_MAX);
            std::hash<std::string_view> hash;
            for (size_t j = 0; j < n; ++j) {
                size_t slot = hash(members[j].key) & (capacity - 1);
                while (slots[slot] != UINT32_MAX && members[slots[slot]].key != members[j].key) {
                    slot = (slot + 1) & (capacity - 1);
                }
                if (slots[slot] == UINT32_MAX) {
                    slots[slot] = static_cast<uint32_t>(j);
                } else {
                    drop(slots[slot], j);
                }
            }
        }
        if (dropped.empty()) return;
        size_t out = 0;
        for (size_t j = 0; j < n; ++j) {
            if (dropped[j]) continue;
            if (out != j) members[out] = std::move(members[j]);
            ++out;
        }
        members.resize(out);
        members.shrink_to_fit();
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool parseHex4(uint32_t& out) {
        if (end_ - p_ < 4) return false;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            int h = hexValue(p_[i]);
            if (h < 0) return false;
            v = (v << 4) | static_cast<uint32_t>(h);
        }
        p_ += 4;
        out = v;
        return true;
    }

    bool parseString(std::string& out) {
        out.clear();
        ++p_;  // opening quote
        while (true) {
            size_t n = ByteScan::textRun(p_, static_cast<size_t>(end_ - p_));
            out.append(p_, n);
            p_ += n;
            if (p_ == end_) return false;
            if (*p_ == '"') {
                ++p_;
                return true;
            }
            if (*p_ != '\\') return false;  // a control byte or broken UTF-8
            // Backslash escape.
            ++p_;
            if (p_ == end_) return false;
            char e = *p_++;
            switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                uint32_t cp;
                if (!parseHex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDFFF) {
                    // A high surrogate followed by a low one is one code point; anything else
                    // is lone, and what follows it is read on its own.
                    uint32_t low = 0;
                    const char* next = p_;
                    bool paired = cp <= 0xDBFF && end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u' &&
                                  (p_ += 2, parseHex4(low)) && low >= 0xDC00 && low <= 0xDFFF;
                    if (paired) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else {
                        if (!options_.loneSurrogatesAsReplacement) return false;
                        p_ = next;
                        cp = 0xFFFD;
                    }
                }
                UTF8::append(out, cp);
                break;
            }
            default: return false;
            }
        }
    }

    bool parseNumber(JSON& out) {
        const char* start = p_;
        const char* q = p_;
        if (q < end_ && *q == '-') ++q;
        if (q == end_) return false;
        if (*q == '0') {
            ++q;
        } else if (*q >= '1' && *q <= '9') {
            while (q < end_ && *q >= '0' && *q <= '9') ++q;
        } else {
            return false;
        }
        if (q < end_ && *q == '.') {
            ++q;
            const char* digits = q;
            while (q < end_ && *q >= '0' && *q <= '9') ++q;
            if (q == digits) return false;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            ++q;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            const char* digits = q;
            while (q < end_ && *q >= '0' && *q <= '9') ++q;
            if (q == digits) return false;
        }
        p_ = q;
        // Not std::from_chars: several C++ libraries have it only for integers. Versions of
        // fast_float differ on an overflow: an error, or a successful infinity, which the
        // checks below treat alike.
        double value = 0;
        auto result = fast_float::from_chars(start, q, value);
        bool overflow = false;
        if (result.ec == std::errc::result_out_of_range) {
            overflow = !isUnderflow(start, q);
            value = overflow ? 0.0 : (*start == '-' ? -0.0 : 0.0);
        } else if (result.ec != std::errc() || result.ptr != q) {
            return false;
        }
        if (options_.exactNumbers) {
            out = JSON::number(overflow ? (*start == '-' ? -HUGE_VAL : HUGE_VAL) : value, std::string(start, q));
        } else if (overflow || !std::isfinite(value)) {
            out = JSON();  // a number beyond a double is null on the wire
        } else {
            out = JSON(value);
        }
        return true;
    }

    // For an out-of-range number: true when it is too small (underflow), false when too large.
    static bool isUnderflow(const char* start, const char* end) {
        const char* q = start;
        if (*q == '-') ++q;
        long long exponent10 = 0;  // decimal exponent of the first significant digit
        long long position = 0;    // digits before the point, counting from the first nonzero
        bool seenNonZero = false;
        bool afterPoint = false;
        long long leadingFractionZeros = 0;
        for (; q < end && *q != 'e' && *q != 'E'; ++q) {
            if (*q == '.') {
                afterPoint = true;
                continue;
            }
            if (!seenNonZero) {
                if (*q == '0') {
                    if (afterPoint) ++leadingFractionZeros;
                    continue;
                }
                seenNonZero = true;
            }
            if (!afterPoint) ++position;
        }
        if (!seenNonZero) return true;
        exponent10 = position > 0 ? position - 1 : -(leadingFractionZeros + 1);
        if (q < end) {
            ++q;
            bool negative = false;
            if (*q == '+' || *q == '-') negative = *q++ == '-';
            long long e = 0;
            for (; q < end; ++q) {
                if (e < 1'000'000'000'000LL) e = e * 10 + (*q - '0');
            }
            exponent10 += negative ? -e : e;
        }
        return exponent10 < 0;
    }
};

// MARK: - Object

JSON::Object::Object() = default;
JSON::Object::Object(const Object&) = default;
JSON::Object::Object(Object&&) noexcept = default;
JSON::Object& JSON::Object::operator=(const Object&) = default;
JSON::Object& JSON::Object::operator=(Object&&) noexcept = default;
JSON::Object::~Object() = default;

size_t JSON::Object::size() const { return members_.size(); }
bool JSON::Object::empty() const { return members_.empty(); }
JSON::Object::const_iterator JSON::Object::begin() const { return members_.begin(); }
JSON::Object::const_iterator JSON::Object::end() const { return members_.end(); }
JSON::Object::iterator JSON::Object::begin() { return members_.begin(); }
JSON::Object::iterator JSON::Object::end() { return members_.end(); }
void JSON::Object::reserve(size_t n) { members_.reserve(n); }

JSON::Object::Object(std::initializer_list<Member> members) {
    members_.reserve(members.size());
    for (const auto& m : members) set(m.key, m.value);
}

const JSON* JSON::Object::find(std::string_view key) const {
    for (const auto& m : members_) {
        if (m.key == key) return &m.value;
    }
    return nullptr;
}

JSON* JSON::Object::find(std::string_view key) {
    for (auto& m : members_) {
        if (m.key == key) return &m.value;
    }
    return nullptr;
}

void JSON::Object::set(std::string key, JSON value) {
    if (JSON* existing = find(key)) {
        *existing = std::move(value);
    } else {
        members_.push_back(Member{std::move(key), std::move(value)});
    }
}

bool JSON::Object::erase(std::string_view key) {
    auto it = std::find_if(members_.begin(), members_.end(), [&](const Member& m) { return m.key == key; });
    if (it == members_.end()) return false;
    members_.erase(it);
    return true;
}

void JSON::Object::appendUnchecked(std::string key, JSON value) {
    members_.push_back(Member{std::move(key), std::move(value)});
}

void JSON::Object::popBack() { members_.pop_back(); }

bool operator==(const JSON::Object& a, const JSON::Object& b) {
    if (a.size() != b.size()) return false;
    if (a.size() <= 16) {
        for (const auto& m : a) {
            const JSON* other = b.find(m.key);
            if (!other || !(*other == m.value)) return false;
        }
        return true;
    }
    auto sortedView = [](const JSON::Object& o) {
        std::vector<const JSON::Member*> v;
        v.reserve(o.size());
        for (const auto& m : o) v.push_back(&m);
        std::sort(v.begin(), v.end(), [](auto* x, auto* y) { return x->key < y->key; });
        return v;
    };
    auto va = sortedView(a);
    auto vb = sortedView(b);
    for (size_t i = 0; i < va.size(); ++i) {
        if (va[i]->key != vb[i]->key || !(va[i]->value == vb[i]->value)) return false;
    }
    return true;
}

// MARK: - JSON

JSON::JSON(Object members) : value_(std::move(members)) {}

JSON JSON::object(std::initializer_list<Member> members) { return JSON(Object(members)); }

std::optional<double> JSON::doubleValue() const {
    if (auto n = std::get_if<Number>(&value_)) return n->value;
    return std::nullopt;
}

std::optional<int64_t> JSON::intValue() const {
    auto n = std::get_if<Number>(&value_);
    if (!n || !isIntegralInRange(n->value)) return std::nullopt;
    return static_cast<int64_t>(n->value);
}

std::optional<bool> JSON::boolValue() const {
    if (auto b = std::get_if<bool>(&value_)) return *b;
    return std::nullopt;
}

const JSON* JSON::operator[](std::string_view key) const {
    if (auto o = object()) return o->find(key);
    return nullptr;
}

const std::string* JSON::numberText() const {
    auto n = std::get_if<Number>(&value_);
    return n ? &n->text : nullptr;
}

std::variant<JSON, JSON::ParseError> JSON::parse(std::string_view bytes, ParseOptions options) {
    JSONParser parser(bytes, options);
    JSON value;
    if (!parser.parseDocument(value)) return ParseError::notJSON;
    return value;
}

std::optional<JSON> JSON::parsed(std::string_view bytes, ParseOptions options) {
    auto result = parse(bytes, options);
    if (auto value = std::get_if<JSON>(&result)) return std::move(*value);
    return std::nullopt;
}

bool operator==(const JSON& a, const JSON& b) {
    if (a.value_.index() != b.value_.index()) return false;
    switch (a.kind()) {
    case JSON::Kind::boolean: return std::get<bool>(a.value_) == std::get<bool>(b.value_);
    case JSON::Kind::number: return std::get<JSON::Number>(a.value_).value == std::get<JSON::Number>(b.value_).value;
    case JSON::Kind::string: return std::get<std::string>(a.value_) == std::get<std::string>(b.value_);
    case JSON::Kind::array: return std::get<JSON::Array>(a.value_) == std::get<JSON::Array>(b.value_);
    case JSON::Kind::object: return std::get<JSON::Object>(a.value_) == std::get<JSON::Object>(b.value_);
    case JSON::Kind::null: return true;
    }
    return false;
}

// MARK: - Serialization

namespace {

void writeNumber(std::string& out, double d) {
    char buffer[64];
    if (isIntegralInRange(d)) {
        auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(d));
        out.append(buffer, r.ptr);
        return;
    }
    if (!std::isfinite(d)) {  // never made by the system; keep the output valid JSON
        out.append("null");
        return;
    }
    auto r = std::to_chars(buffer, buffer + sizeof buffer, d);
    out.append(buffer, r.ptr);
}

void writeString(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    const char* p = s.data();
    size_t n = s.size();
    while (n > 0) {
        size_t run = plainRun(p, n, false);
        out.append(p, run);
        p += run;
        n -= run;
        if (n == 0) break;
        auto c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default: {
            char e[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            out.append(e, 6);
        }
        }
        ++p;
        --n;
    }
    out.push_back('"');
}

void newline(std::string& out, size_t indent) {
    out.push_back('\n');
    out.append(indent * 2, ' ');
}

}  // namespace

void JSON::write(std::string& out, WriteOptions options) const {
    // Iteration over the value tree is recursive; the parser bounds the depth of what it makes.
    struct Writer {
        std::string& out;
        WriteOptions options;

        void value(const JSON& v, size_t indent) {
            switch (v.kind()) {
            case Kind::boolean: out.append(std::get<bool>(v.value_) ? "true" : "false"); break;
            case Kind::number: {
                const auto& n = std::get<Number>(v.value_);
                if (!n.text.empty()) {
                    out.append(n.text);
                } else {
                    writeNumber(out, n.value);
                }
                break;
            }
            case Kind::string: writeString(out, std::get<std::string>(v.value_)); break;
            case Kind::array: array(std::get<Array>(v.value_), indent); break;
            case Kind::object: object(std::get<Object>(v.value_), indent); break;
            case Kind::null: out.append("null"); break;
            }
        }

        void array(const Array& a, size_t indent) {
            out.push_back('[');
            bool first = true;
            for (const auto& element : a) {
                if (!first) out.push_back(',');
                first = false;
                if (options.pretty) newline(out, indent + 1);
                value(element, indent + 1);
            }
            if (options.pretty && !a.empty()) newline(out, indent);
            out.push_back(']');
        }

        void object(const Object& o, size_t indent) {
            std::vector<const Member*> members;
            members.reserve(o.size());
            for (const auto& m : o) members.push_back(&m);
            if (options.sortedKeys) {
                std::sort(members.begin(), members.end(), [](auto* a, auto* b) { return a->key < b->key; });
            }
            out.push_back('{');
            bool first = true;
            for (const Member* m : members) {
                if (!first) out.push_back(',');
                first = false;
                if (options.pretty) newline(out, indent + 1);
                writeString(out, m->key);
                out.append(options.pretty ? " : " : ":");
                value(m->value, indent + 1);
            }
            if (options.pretty && !o.empty()) newline(out, indent);
            out.push_back('}');
        }
    };
    Writer{out, options}.value(*this, 0);
}

namespace {

// The serialized size when nothing needs escaping: growing a large reply by doubling would
// copy it several times into fresh memory, which costs more than the serialization itself.
size_t estimatedSize(const JSON& value) {
    switch (value.kind()) {
    case JSON::Kind::string: return value.string()->size() + 2;
    case JSON::Kind::array: {
        size_t size = 2;
        for (const auto& element : *value.array()) size += estimatedSize(element) + 1;
        return size;
    }
    case JSON::Kind::object: {
        size_t size = 2;
        for (const auto& m : *value.object()) size += m.key.size() + 4 + estimatedSize(m.value);
        return size;
    }
    default: return 8;
    }
}

}  // namespace

std::string JSON::data() const {
    std::string out;
    out.reserve(estimatedSize(*this) + 16);
    write(out, WriteOptions{});
    return out;
}

std::string JSON::serialized(WriteOptions options) const {
    std::string out;
    write(out, options);
    return out;
}

}  // namespace AgentWire
