#pragma once

#include <cstddef>

namespace AgentWire::ByteScan {

// The scan loop of JSON strings (the parser, the writer and the tool-call scan), on the
// platform's vector unit (SSE2 on x86-64, NEON on arm64) with a portable fallback: a result
// line of tens of MiB passes here. Line framing finds its line feeds with memchr, which the C
// library already vectorises.

// `stringRun` on the vector unit, for what is left after the first bytes.
size_t vectorRun(const char* p, size_t n, bool stopAtNonASCII);

// Length of the run of bytes from `p` (at most `n`) that need no attention inside a JSON
// string: not '"', not '\\', not a control byte below 0x20, and, when `stopAtNonASCII`, below
// 0x80 (so the caller can check each multi-byte UTF-8 sequence).
inline size_t stringRun(const char* p, size_t n, bool stopAtNonASCII) {
    // Keys and small values end within a few bytes: a byte loop here costs less than the call
    // and the setup of the vector loop.
    size_t i = 0;
    for (; i < n && i < 16; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20 || (stopAtNonASCII && c >= 0x80)) return i;
    }
    return i < n ? i + vectorRun(p + i, n - i, stopAtNonASCII) : i;
}

// Length of the string text from `p` (at most `n`) that is taken as it stands: plain bytes and
// whole, well-formed UTF-8 sequences. It ends at the closing quote, a backslash, the end, or a
// byte no JSON string may hold there (a control byte, broken UTF-8), which the caller refuses.
size_t textRun(const char* p, size_t n);

}  // namespace AgentWire::ByteScan
