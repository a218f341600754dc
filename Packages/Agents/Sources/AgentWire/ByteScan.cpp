#include "AgentWire/ByteScan.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "AgentWire/UTF8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace AgentWire::ByteScan {

namespace {

inline bool special(unsigned char c, bool stopAtNonASCII) {
    return c == '"' || c == '\\' || c < 0x20 || (stopAtNonASCII && c >= 0x80);
}

#if defined(__SSE2__)

// A bit per byte of the 16 at `p` that needs attention.
inline unsigned specialMask(const char* p, bool stopAtNonASCII) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned v < 0x20 is min(v, 0x1f) == v.
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                                _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (stopAtNonASCII) mask |= static_cast<unsigned>(_mm_movemask_epi8(v));
    return mask;
}

inline size_t firstSpecial(unsigned mask) { return static_cast<size_t>(__builtin_ctz(mask)); }

#elif defined(__ARM_NEON) || defined(__aarch64__)

// Four bits per byte of the 16 at `p` that needs attention (narrowing is NEON's movemask).
inline uint64_t specialMask(const char* p, bool stopAtNonASCII) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    uint8x16_t hits = vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))),
                               vcltq_u8(v, vdupq_n_u8(0x20)));
    if (stopAtNonASCII) hits = vorrq_u8(hits, vcgeq_u8(v, vdupq_n_u8(0x80)));
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(hits), 4)), 0);
}

inline size_t firstSpecial(uint64_t mask) { return static_cast<size_t>(__builtin_ctzll(mask)) / 4; }

#else

// Eight bytes at a time in a general register: a high bit per byte that needs attention.
inline uint64_t specialMask8(const char* p, bool stopAtNonASCII) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t v;
    std::memcpy(&v, p, 8);
    auto zeroByte = [](uint64_t x) { return (x - ones) & ~x & highs; };
    uint64_t hits = zeroByte(v ^ (ones * '"')) | zeroByte(v ^ (ones * '\\')) | ((v - ones * 0x20) & ~v & highs);
    if (stopAtNonASCII) hits |= v & highs;
    return hits;
}

#endif

}  // namespace

size_t vectorRun(const char* p, size_t n, bool stopAtNonASCII) {
    size_t i = 0;
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(__aarch64__)
    // Two vectors per turn keep the loads ahead of the tests.
    while (i + 32 <= n) {
        auto a = specialMask(p + i, stopAtNonASCII);
        auto b = specialMask(p + i + 16, stopAtNonASCII);
        if (a) return i + firstSpecial(a);
        if (b) return i + 16 + firstSpecial(b);
        i += 32;
    }
    if (i + 16 <= n) {
        if (auto a = specialMask(p + i, stopAtNonASCII)) return i + firstSpecial(a);
        i += 16;
    }
#else
    while (i + 8 <= n && !specialMask8(p + i, stopAtNonASCII)) i += 8;
#endif
    while (i < n && !special(static_cast<unsigned char>(p[i]), stopAtNonASCII)) ++i;
    return i;
}

size_t textRun(const char* p, size_t n) {
    size_t i = 0;
    while (true) {
        i += stringRun(p + i, n - i, true);
        if (i == n || static_cast<unsigned char>(p[i]) < 0x80) return i;
        size_t length = UTF8::sequenceLength(std::string_view(p + i, n - i), 0);
        if (length == 0) return i;
        i += length;
    }
}

}  // namespace AgentWire::ByteScan
