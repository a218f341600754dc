#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

namespace AgentWire {

// A validating pass over JSON text that builds nothing and allocates nothing. It moves past
// one value at a time and tells whether the value's text is exactly what `JSON::data()`
// writes for it: sorted unique keys, no whitespace, only the escapes the writer emits and
// numbers as it writes them. Text in that form can be copied where the general path would
// parse it into a tree and write it out again, with the same bytes as the result.
//
// It accepts only what `JSON::parse` accepts; it may refuse more (nesting deeper than
// `maxDepth`), so a caller that is refused takes the general path.
class JSONScan {
public:
    static constexpr size_t maxDepth = 256;

    explicit JSONScan(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    // Skips insignificant whitespace, clearing `canonical` when there was any.
    void skipSpace(bool& canonical);
    bool atEnd() const { return p_ == end_; }
    // The byte at the current position, or 0 at the end.
    char peek() const { return p_ < end_ ? *p_ : '\0'; }
    const char* position() const { return p_; }

    // Moves past one value; false when it is not JSON. Clears `canonical` when the value is
    // not in the writer's form and leaves it alone otherwise.
    bool value(bool& canonical);

    // Moves past the object at the current position, calling `member(key, plain)` with the
    // position at each member's value; `key` is the text between the key's quotes, `plain`
    // false when it holds an escape (its bytes then differ from the key's). `member` moves
    // past the value (with `value`) and returns whether it could. `canonical` covers the
    // object's own text: whitespace, key escapes and key order.
    template <class Member> bool object(bool& canonical, Member&& member) {
        return objectWith(canonical, [](void* context, std::string_view key, bool plain) {
            return (*static_cast<std::remove_reference_t<Member>*>(context))(key, plain);
        }, &member);
    }

private:
    using MemberFunction = bool (*)(void* context, std::string_view key, bool plain);

    bool objectWith(bool& canonical, MemberFunction member, void* context);
    bool array(bool& canonical);
    bool string(bool& canonical, bool& plain);
    bool escape(bool& canonical);
    bool number(bool& canonical);
    bool literal(std::string_view word);

    const char* p_;
    const char* end_;
    size_t depth_ = 0;
};

}  // namespace AgentWire
