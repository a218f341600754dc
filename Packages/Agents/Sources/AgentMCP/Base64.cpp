#include "AgentMCP/Base64.hpp"

#include <array>
#include <cstdint>

namespace AgentMCP::Base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t invalid = -1;

constexpr std::array<int8_t, 256> makeValues() {
    std::array<int8_t, 256> values{};
    for (auto& v : values) v = invalid;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return values;
}

constexpr std::array<int8_t, 256> values = makeValues();

}  // namespace

std::string encoded(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += alphabet[n & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t n = byte(i) << 16;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t n = byte(i) << 16 | byte(i + 1) << 8;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> decoded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    size_t body = text.size() - padding;  // characters that must all be in the alphabet
    uint32_t n = 0;
    for (size_t i = 0; i < body; ++i) {
        int8_t v = values[static_cast<unsigned char>(text[i])];
        if (v == invalid) return std::nullopt;  // also a "=" before the tail
        n = n << 6 | static_cast<uint32_t>(v);
        if (i % 4 == 3) {
            out += static_cast<char>(n >> 16 & 0xFF);
            out += static_cast<char>(n >> 8 & 0xFF);
            out += static_cast<char>(n & 0xFF);
            n = 0;
        }
    }
    if (padding == 2) {
        // Two characters carry one byte; the low 4 bits must be zero.
        if ((n & 0xF) != 0) return std::nullopt;
        out += static_cast<char>(n >> 4 & 0xFF);
    } else if (padding == 1) {
        // Three characters carry two bytes; the low 2 bits must be zero.
        if ((n & 0x3) != 0) return std::nullopt;
        out += static_cast<char>(n >> 10 & 0xFF);
        out += static_cast<char>(n >> 2 & 0xFF);
    }
    return out;
}

}  // namespace AgentMCP::Base64
