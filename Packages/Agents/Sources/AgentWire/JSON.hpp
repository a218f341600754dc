#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace AgentWire {

struct JSONParseOptions {
    // Keep each number's source text (for rewriting users' files without changing them).
    bool exactNumbers = false;
    // Deeper nesting is rejected as not JSON, so no input can exhaust the stack.
    size_t maxDepth = 1024;
    // Read a lone surrogate escape ("\ud800", which RFC 8259's grammar allows) as U+FFFD, so
    // the value stays valid UTF-8. Off for files that may be written back: there it is an error.
    bool loneSurrogatesAsReplacement = false;
};

struct JSONWriteOptions {
    bool pretty = false;     // one member per line, two-space indentation, " : "
    bool sortedKeys = true;  // false keeps each object's own member order
};

// The one JSON value of both wires and of the resume record: an immutable-by-convention
// value with literal forms, accessors that yield nothing on a mismatch, a strict parser over
// bytes and a compact serializer with sorted keys.
//
// Objects remember the order in which members were added or parsed; the wire serializer
// ignores it (keys sorted) while the config-file writer can keep it. Numbers are doubles; a
// value parsed with `ParseOptions::exactNumbers` also keeps the number's text, so a user's
// file can be rewritten without changing any number in it.
class JSON {
public:
    enum class Kind { boolean, number, string, array, object, null };
    enum class ParseError { notJSON };

    struct Member;
    using Array = std::vector<JSON>;

    // An object's members in insertion order, keys unique.
    class Object {
    public:
        using iterator = std::vector<Member>::iterator;
        using const_iterator = std::vector<Member>::const_iterator;

        Object();
        Object(std::initializer_list<Member> members);  // a repeated key: the later pair wins
        Object(const Object&);
        Object(Object&&) noexcept;
        Object& operator=(const Object&);
        Object& operator=(Object&&) noexcept;
        ~Object();

        // The value under `key`, or nullptr when absent.
        const JSON* find(std::string_view key) const;
        JSON* find(std::string_view key);
        // Replaces the value of an existing key in place, or appends a new member.
        void set(std::string key, JSON value);
        // Removes `key`; true when it was present.
        bool erase(std::string_view key);

        size_t size() const;
        bool empty() const;
        const_iterator begin() const;
        const_iterator end() const;
        iterator begin();
        iterator end();
        void reserve(size_t n);
        // Appends without looking for the key; the caller guarantees it is new.
        void appendUnchecked(std::string key, JSON value);
        void popBack();

        // Equal key sets with equal values; order does not matter.
        friend bool operator==(const Object& a, const Object& b);

    private:
        // Members are complete only after JSON is, so everything touching them is defined
        // out of line.
        std::vector<Member> members_;
        friend class JSONParser;
    };

    using ParseOptions = JSONParseOptions;
    using WriteOptions = JSONWriteOptions;

    // Literal forms.
    JSON() = default;  // null
    JSON(std::nullptr_t) {}
    JSON(bool value) : value_(value) {}
    JSON(int value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(long value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(long long value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(unsigned value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(unsigned long value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(unsigned long long value) : value_(Number{static_cast<double>(value), {}}) {}
    JSON(double value) : value_(Number{value, {}}) {}
    JSON(const char* text) : value_(std::string(text)) {}
    JSON(std::string text) : value_(std::move(text)) {}
    JSON(std::string_view text) : value_(std::string(text)) {}
    JSON(Array elements) : value_(std::move(elements)) {}
    JSON(Object members);

    static JSON array(std::initializer_list<JSON> elements) { return JSON(Array(elements)); }
    static JSON object(std::initializer_list<Member> members);
    // A number that keeps `text` as its written form (exact-number files).
    static JSON number(double value, std::string text) { return JSON(Number{value, std::move(text)}); }

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Accessors: nothing when the value is of another case.
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    std::optional<double> doubleValue() const;
    // An integral number of magnitude below 9e15.
    std::optional<int64_t> intValue() const;
    std::optional<bool> boolValue() const;
    const Array* array() const { return std::get_if<Array>(&value_); }
    Array* array() { return std::get_if<Array>(&value_); }
    const Object* object() const { return std::get_if<Object>(&value_); }
    Object* object() { return std::get_if<Object>(&value_); }
    // For an object: the value under `key`; nullptr when absent or not an object.
    const JSON* operator[](std::string_view key) const;
    // The written form of a number parsed with exactNumbers; empty otherwise.
    const std::string* numberText() const;

    // Strict RFC 8259 over bytes, any value at top level.
    static std::variant<JSON, ParseError> parse(std::string_view bytes, ParseOptions options = {});
    // Convenience: the value, or nothing on any parse error.
    static std::optional<JSON> parsed(std::string_view bytes, ParseOptions options = {});

    // Compact serialization with keys sorted at every depth; never fails.
    std::string data() const;
    std::string serialized(WriteOptions options) const;
    void write(std::string& out, WriteOptions options = {}) const;

    // IEEE equality for numbers (0 == -0), by case and payload otherwise.
    friend bool operator==(const JSON& a, const JSON& b);

private:
    struct Number {
        double value;
        std::string text;
    };
    struct Null {};

    explicit JSON(Number number) : value_(std::move(number)) {}

    // Order matches Kind.
    std::variant<bool, Number, std::string, Array, Object, Null> value_{Null{}};

    friend class JSONParser;
};

struct JSON::Member {
    std::string key;
    JSON value;
};

}  // namespace AgentWire
