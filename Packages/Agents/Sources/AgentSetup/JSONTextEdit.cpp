#include "AgentSetup/JSONTextEdit.hpp"

#include <algorithm>
#include <map>

namespace AgentSetup {

using AgentWire::JSON;

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isBlankText(std::string_view text) { return std::all_of(text.begin(), text.end(), isSpace); }
bool isInlineSpace(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// How deeply arrays and objects nest in `strict`, strings skipped: tells a file nested beyond
// what the parser takes from one that isn't JSON.
size_t nesting(std::string_view strict) {
    size_t depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < strict.size(); ++i) {
        char c = strict[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Past the string whose quote is at `p` (escapes skipped); the end when it never closes.
size_t skipString(std::string_view text, size_t p) {
    for (++p; p < text.size(); ++p) {
        if (text[p] == '\\') ++p;
        else if (text[p] == '"') return p + 1;
    }
    return text.size();
}

// Past the value starting at `p` in valid strict JSON.
size_t skipValue(std::string_view strict, size_t p) {
    char c = strict[p];
    if (c == '"') return skipString(strict, p);
    if (c == '{' || c == '[') {
        size_t depth = 0;
        while (p < strict.size()) {
            c = strict[p];
            if (c == '"') {
                p = skipString(strict, p);
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            if ((c == '}' || c == ']') && --depth == 0) return p + 1;
            ++p;
        }
        return p;
    }
    while (p < strict.size() && !isSpace(strict[p]) && strict[p] != ',' && strict[p] != '}' && strict[p] != ']') ++p;
    return p;
}

// Past white space and (when allowed) comments, in text already known to be valid.
size_t skipTrivia(std::string_view text, size_t p, bool comments) {
    while (p < text.size()) {
        if (isSpace(text[p])) {
            ++p;
        } else if (comments && text.substr(p, 2) == "//") {
            while (p < text.size() && text[p] != '\n' && text[p] != '\r') ++p;
        } else if (comments && text.substr(p, 2) == "/*") {
            auto end = text.find("*/", p + 2);
            p = end == std::string_view::npos ? text.size() : end + 2;
        } else {
            break;
        }
    }
    return p;
}

std::string keyText(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) return std::string(quoted.substr(1, quoted.size() - 2));
    auto decoded = JSON::parsed(quoted);
    return decoded && decoded->string() ? *decoded->string() : std::string();
}

// The members of the object whose "{" is at `open`.
JSONTextEdit::Object scanObject(std::string_view bytes, std::string_view strict, size_t open, bool comments) {
    JSONTextEdit::Object object;
    object.open = open;
    size_t p = open + 1;
    for (;;) {
        p = skipTrivia(bytes, p, comments);
        if (p >= bytes.size() || bytes[p] != '"') break;
        JSONTextEdit::Member member;
        member.keyStart = p;
        member.keyEnd = skipString(strict, p);
        member.key = keyText(bytes.substr(p, member.keyEnd - p));
        p = skipTrivia(bytes, member.keyEnd, comments) + 1;  // past ":"
        member.valueStart = skipTrivia(bytes, p, comments);
        member.valueEnd = skipValue(strict, member.valueStart);
        p = skipTrivia(bytes, member.valueEnd, comments);
        if (p < bytes.size() && bytes[p] == ',') member.comma = p++;
        object.members.push_back(std::move(member));
    }
    object.close = p;
    return object;
}

std::string quotedKey(std::string_view key) { return "\"" + std::string(key) + "\""; }

size_t lineStart(std::string_view text, size_t p) {
    auto lf = text.rfind('\n', p == 0 ? 0 : p - 1);
    return p == 0 || lf == std::string_view::npos ? 0 : lf + 1;
}

// The end of the line holding `p`, before its line ending.
size_t lineEnd(std::string_view text, size_t p) {
    while (p < text.size() && text[p] != '\n' && text[p] != '\r') ++p;
    return p;
}

bool firstOnLine(std::string_view text, size_t p) {
    auto start = lineStart(text, p);
    return isInlineSpace(text.substr(start, p - start));
}

std::string lineIndent(std::string_view text, size_t p) {
    auto start = lineStart(text, p), end = start;
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
    return std::string(text.substr(start, end - start));
}

struct Splice {
    size_t from, to;
    std::string text;
};

std::string applied(std::string_view bytes, std::vector<Splice> splices) {
    // Stable: splices at one place go in the order given.
    std::stable_sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) { return a.from < b.from; });
    std::string out;
    out.reserve(bytes.size() + 256);
    size_t at = 0;
    for (const auto& splice : splices) {
        out.append(bytes.substr(at, splice.from - at));
        out.append(splice.text);
        at = std::max(at, splice.to);
    }
    out.append(bytes.substr(at));
    return out;
}

}  // namespace

std::optional<std::string> JSONTextEdit::strictText(std::string_view bytes, Syntax syntax) {
    std::string out(bytes);
    size_t p = 0;
    if (out.starts_with(byteOrderMark)) {
        out.replace(0, byteOrderMark.size(), byteOrderMark.size(), ' ');
        p = byteOrderMark.size();
    }
    // The last two significant characters and where the last one is: a comma that follows a
    // value and precedes a closing bracket is a trailing comma.
    char last = 0, beforeLast = 0;
    size_t lastAt = 0;
    auto endsValue = [](char c) {
        return c == '"' || c == '}' || c == ']' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
               (c >= 'A' && c <= 'Z');
    };
    while (p < out.size()) {
        char c = out[p];
        if (isSpace(c)) {
            ++p;
            continue;
        }
        if (syntax.comments && c == '/' && p + 1 < out.size() && (out[p + 1] == '/' || out[p + 1] == '*')) {
            size_t end;
            if (out[p + 1] == '/') {
                end = lineEnd(out, p);
            } else {
                auto close = out.find("*/", p + 2);
                if (close == std::string::npos) return std::nullopt;
                end = close + 2;
            }
            for (; p < end; ++p)
                if (out[p] != '\n' && out[p] != '\r') out[p] = ' ';
            continue;
        }
        if ((c == '}' || c == ']') && syntax.trailingCommas && last == ',' && endsValue(beforeLast)) out[lastAt] = ' ';
        beforeLast = last;
        last = c;
        lastAt = p;
        p = c == '"' ? skipString(out, p) : p + 1;
        if (c == '"') last = '"';
    }
    return out;
}

std::optional<JSON> JSONTextEdit::parsed(std::string_view bytes, Syntax syntax) {
    auto strict = strictText(bytes, syntax);
    if (!strict) return std::nullopt;
    return JSON::parsed(*strict, {.exactNumbers = true});
}

std::variant<JSONTextEdit, JSONTextEdit::Problem> JSONTextEdit::read(std::string_view bytes, Syntax syntax,
                                                                   std::string_view objectKey,
                                                                   std::string_view memberKey) {
    const std::string notJSON = syntax.trailingCommas ? "it isn't valid JSON, even allowing comments and trailing commas"
                                : syntax.comments     ? "it isn't valid JSON (comments are fine, trailing commas aren't)"
                                                      : "it isn't valid JSON (comments and trailing commas aren't accepted)";
    JSONTextEdit edit;
    edit.syntax_ = syntax;
    edit.objectKey_ = objectKey;
    edit.memberKey_ = memberKey;
    edit.bytes_ = bytes;
    std::string_view body = bytes.starts_with(byteOrderMark) ? bytes.substr(byteOrderMark.size()) : bytes;
    if (isBlankText(body)) {
        edit.blank_ = true;
        return edit;
    }
    auto strict = strictText(bytes, syntax);
    if (!strict) return Problem{notJSON, false};
    auto root = JSON::parse(*strict, {.exactNumbers = true});
    auto* value = std::get_if<JSON>(&root);
    if (const size_t limit = JSON::ParseOptions{}.maxDepth; !value && nesting(*strict) > limit) {
        return Problem{"it's nested more than " + std::to_string(limit) + " levels deep, deeper than Bosken reads",
                       false};
    }
    // A top-level scalar is not accepted as a configuration document at all.
    if (!value || (value->kind() != JSON::Kind::object && value->kind() != JSON::Kind::array))
        return Problem{notJSON, false};
    if (!value->object()) return Problem{"it isn't a JSON object", false};

    edit.strict_ = std::move(*strict);
    const std::string_view text = edit.bytes_;
    edit.root_ = scanObject(text, edit.strict_, skipTrivia(edit.strict_, 0, false), syntax.comments);

    const auto& members = edit.root_.members;
    for (size_t i = 0; i < members.size(); ++i) {
        if (members[i].key != objectKey) continue;
        if (edit.objectIndex_) {
            edit.layoutProblem_ = Problem{"it has " + quotedKey(objectKey) + " twice", true};
            return edit;
        }
        edit.objectIndex_ = i;
    }
    if (!edit.objectIndex_) return edit;
    const auto& holder = members[*edit.objectIndex_];
    if (edit.strict_[holder.valueStart] != '{') {
        edit.layoutProblem_ = Problem{quotedKey(objectKey) + " in it isn't an object", true};
        return edit;
    }
    edit.object_ = scanObject(text, edit.strict_, holder.valueStart, syntax.comments);
    const auto& inner = edit.object_->members;
    for (size_t i = 0; i < inner.size(); ++i) {
        if (inner[i].key != memberKey) continue;
        if (edit.memberIndex_) {
            edit.layoutProblem_ = Problem{quotedKey(objectKey) + " in it has " + quotedKey(memberKey) + " twice", true};
            edit.member_.reset();
            return edit;
        }
        edit.memberIndex_ = i;
        edit.member_ = JSON::parsed(std::string_view(edit.strict_).substr(inner[i].valueStart,
                                                                          inner[i].valueEnd - inner[i].valueStart),
                                    {.exactNumbers = true});
    }
    return edit;
}

JSONTextEdit::Style JSONTextEdit::style() const {
    Style style;
    const std::string_view text = bytes_;
    auto lf = text.find('\n');
    if (lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r') style.eol = "\r\n";

    // The indent unit: the step by which a line is most often indented more than the line
    // before it (a tab when tabs win), so one odd line doesn't decide it.
    std::map<size_t, size_t> steps;
    size_t tabSteps = 0, spaceSteps = 0;
    std::optional<size_t> previous;
    for (size_t start = 0; start < text.size();) {
        size_t p = start;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
        if (p < text.size() && text[p] != '\n' && text[p] != '\r') {
            size_t width = p - start;
            if (previous && width > *previous) {
                if (text[start] == '\t') {
                    ++tabSteps;
                } else {
                    ++steps[width - *previous];
                    ++spaceSteps;
                }
            }
            previous = width;
        }
        auto next = text.find('\n', p);
        if (next == std::string_view::npos) break;
        start = next + 1;
    }
    if (tabSteps > spaceSteps) {
        style.unit = "\t";
    } else if (!steps.empty()) {
        auto most = std::max_element(steps.begin(), steps.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        style.unit.assign(most->first, ' ');
    }

    // Spacing around ":" and after "," as the root's first members have it.
    const auto& members = root_.members;
    if (!members.empty()) {
        auto between = text.substr(members[0].keyEnd, members[0].valueStart - members[0].keyEnd);
        auto colon = between.find(':');
        if (colon != std::string_view::npos && isInlineSpace(between.substr(0, colon)) &&
            isInlineSpace(between.substr(colon + 1)))
            style.colon = between;
    }
    // After a comma, the space that follows a colon.
    style.comma = style.colon.substr(style.colon.find(':') + 1);
    return style;
}

namespace {

// `value` in the file's style; `base` is the indentation of the line it starts on.
void writeValue(std::string& out, const JSON& value, const std::string& base, bool multiline,
                const std::string& eol, const std::string& unit, const std::string& colon, const std::string& comma) {
    const auto* object = value.object();
    const auto* array = value.array();
    if ((!object && !array) || (object && object->empty()) || (array && array->empty())) {
        value.write(out);
        return;
    }
    const std::string inner = base + unit;
    out.push_back(object ? '{' : '[');
    size_t index = 0;
    auto separate = [&] {
        if (index++ > 0) out.append(",").append(multiline ? "" : comma);
        if (multiline) out.append(eol).append(inner);
    };
    if (object) {
        for (const auto& member : *object) {
            separate();
            JSON(std::string_view(member.key)).write(out);
            out.append(colon);
            writeValue(out, member.value, inner, multiline, eol, unit, colon, comma);
        }
    } else {
        for (const auto& element : *array) {
            separate();
            writeValue(out, element, inner, multiline, eol, unit, colon, comma);
        }
    }
    if (multiline) out.append(eol).append(base);
    out.push_back(object ? '}' : ']');
}

}  // namespace

std::variant<std::string, JSONTextEdit::Problem> JSONTextEdit::set(const JSON& value) const {
    if (blank_) return Problem{"it is blank", true};
    if (layoutProblem_) return *layoutProblem_;
    const std::string_view text = bytes_;
    Style style = this->style();
    if (memberIndex_) {
        // The entry's own indentation step, so a second install writes the same text again.
        const auto& old = object_->members[*memberIndex_];
        auto oldText = text.substr(old.valueStart, old.valueEnd - old.valueStart);
        auto lf = oldText.find('\n');
        std::string base = lineIndent(text, old.keyStart);
        if (lf != std::string_view::npos) {
            std::string inner = lineIndent(text, old.valueStart + lf + 1);
            if (inner.size() > base.size() && inner.starts_with(base)) style.unit = inner.substr(base.size());
        }
    }
    auto write = [&](const JSON& v, const std::string& base, bool multiline) {
        std::string out;
        writeValue(out, v, base, multiline, style.eol, style.unit, style.colon, style.comma);
        return out;
    };
    auto member = [&](std::string_view key, const JSON& v, const std::string& base, bool multiline) {
        std::string out;
        JSON(key).write(out);
        out += style.colon;
        out += write(v, base, multiline);
        return out;
    };

    if (memberIndex_) {
        const auto& old = object_->members[*memberIndex_];
        auto oldText = text.substr(old.valueStart, old.valueEnd - old.valueStart);
        bool multiline = oldText.find('\n') != std::string_view::npos;
        std::string base = firstOnLine(text, old.keyStart) ? lineIndent(text, old.keyStart) : std::string();
        return applied(text, {{old.valueStart, old.valueEnd, write(value, base, multiline)}});
    }

    // Inserted last in `into`: the object itself when it exists, else a new object in the root.
    const Object& into = object_ ? *object_ : root_;
    std::string_view key = object_ ? std::string_view(memberKey_) : std::string_view(objectKey_);
    JSON inserted = value;
    if (!object_) {
        JSON::Object wrapper;
        wrapper.set(memberKey_, value);
        inserted = JSON(std::move(wrapper));
    }
    const bool rootMultiline = text.substr(root_.open, root_.close - root_.open).find('\n') != std::string_view::npos;
    // The indentation of the object's own line: its closing brace's line when that starts it.
    std::string base = lineIndent(text, firstOnLine(text, into.close) ? into.close : into.open);

    if (into.members.empty()) {
        auto interior = text.substr(into.open + 1, into.close - into.open - 1);
        if (!rootMultiline) return applied(text, {{into.open + 1, into.open + 1, member(key, inserted, base, false)}});
        std::string indent = base + style.unit;
        if (isInlineSpace(interior))
            return applied(text, {{into.open + 1, into.close,
                                   style.eol + indent + member(key, inserted, indent, true) + style.eol + base}});
        // Comments inside: the member goes on a line of its own after the last line break that
        // isn't inside a comment.
        size_t lastBreak = std::string_view::npos;
        for (size_t p = 0; p < interior.size();) {
            if (interior[p] == '\n' || interior[p] == '\r') {
                lastBreak = p++;
            } else if (interior.substr(p, 2) == "//") {
                p = lineEnd(interior, p);
            } else if (interior.substr(p, 2) == "/*") {
                auto close = interior.find("*/", p + 2);
                p = close == std::string_view::npos ? interior.size() : close + 2;
            } else {
                ++p;
            }
        }
        if (lastBreak == std::string_view::npos)
            return applied(text, {{into.close, into.close, style.eol + indent + member(key, inserted, indent, true) +
                                                               style.eol + base}});
        size_t at = into.open + 1 + lastBreak;
        if (at > 0 && text[at] == '\n' && text[at - 1] == '\r') --at;
        return applied(text, {{at, at, style.eol + indent + member(key, inserted, indent, true)}});
    }

    const auto& last = into.members.back();
    const bool multiline = text.substr(into.open, into.close - into.open).find('\n') != std::string_view::npos;
    std::vector<Splice> splices;
    const bool trailing = last.comma.has_value();
    if (!trailing) splices.push_back({last.valueEnd, last.valueEnd, ","});
    size_t after = trailing ? *last.comma + 1 : last.valueEnd;
    if (!multiline) {
        splices.push_back({after, after, style.comma + member(key, inserted, base, false) + (trailing ? "," : "")});
        return applied(text, std::move(splices));
    }
    std::string indent = firstOnLine(text, last.keyStart) ? lineIndent(text, last.keyStart) : base + style.unit;
    // After what follows on the last member's line (a comment), unless the object closes there.
    size_t at = after;
    size_t p = after;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    if (syntax_.comments && text.substr(p, 2) == "//") {
        p = lineEnd(text, p);
    } else if (syntax_.comments && text.substr(p, 2) == "/*") {
        auto close = text.find("*/", p + 2);
        if (text.substr(p, close - p).find_first_of("\r\n") == std::string_view::npos) p = close + 2;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    }
    if (p == text.size() || text[p] == '\n' || text[p] == '\r') at = p;
    splices.push_back({at, at, style.eol + indent + member(key, inserted, indent, true) + (trailing ? "," : "")});
    return applied(text, std::move(splices));
}

std::variant<std::string, JSONTextEdit::Problem> JSONTextEdit::removed(bool dropEmptyObject) const {
    if (layoutProblem_) return *layoutProblem_;
    if (!memberIndex_) return bytes_;
    const std::string_view text = bytes_;

    // The splices that take member `index` out of `object`.
    auto removal = [&](const Object& object, size_t index) {
        const auto& member = object.members[index];
        std::vector<Splice> splices;
        size_t end = member.comma ? *member.comma + 1 : member.valueEnd;
        size_t rest = end;
        while (rest < text.size() && (text[rest] == ' ' || text[rest] == '\t')) ++rest;
        const bool ownLine = firstOnLine(text, member.keyStart) && (rest == text.size() || text[rest] == '\n' ||
                                                                    text[rest] == '\r');
        size_t from = member.keyStart;
        if (ownLine) {
            // The line with the line ending before it.
            from = lineStart(text, member.keyStart);
            if (from > 0) --from;
            if (from > 0 && text[from] == '\n' && text[from - 1] == '\r') --from;
            end = rest;
        } else if (member.comma) {
            end = rest;
        }
        if (!member.comma && index > 0) {
            const auto& previous = object.members[index - 1];
            size_t comma = *previous.comma;
            if (!ownLine && isInlineSpace(text.substr(comma + 1, member.keyStart - comma - 1))) from = comma;
            else splices.push_back({comma, comma + 1, ""});
        }
        splices.push_back({from, end, ""});
        // An object left with nothing but white space inside closes up.
        if (ownLine && object.members.size() == 1) {
            std::string left = applied(text.substr(0, object.close), splices).substr(object.open + 1);
            if (isBlankText(left)) splices = {{object.open + 1, object.close, ""}};
        }
        return splices;
    };

    if (dropEmptyObject && object_->members.size() == 1) {
        auto splices = removal(*object_, *memberIndex_);
        std::string left = applied(text.substr(0, object_->close), splices).substr(object_->open + 1);
        if (isBlankText(left)) return applied(text, removal(root_, *objectIndex_));
    }
    return applied(text, removal(*object_, *memberIndex_));
}

}  // namespace AgentSetup
