#include <gtest/gtest.h>

#include <string>

#include "AgentWire/ByteScan.hpp"

// Each kind of byte at every position around the vector steps, from unaligned starts: the
// run ends exactly at the first byte that needs attention.
TEST(ByteScan, StringRunEndsAtTheFirstByteThatNeedsAttention) {
    auto needsAttention = [](unsigned char c, bool stopAtNonASCII) {
        return c == '"' || c == '\\' || c < 0x20 || (stopAtNonASCII && c >= 0x80);
    };
    for (bool stopAtNonASCII : {false, true}) {
        for (char byte : {'"', '\\', '\0', '\x1f', '\x80', '\xff', '\x7f', ' '}) {
            for (size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 81}) {
                for (size_t offset = 0; offset < 3; ++offset) {
                    for (size_t at = 0; at < length; ++at) {
                        std::string text(offset, '"');
                        for (size_t i = 0; i < length; ++i) text.push_back(" ~\x7f!"[i % 4]);
                        text[offset + at] = byte;
                        size_t expected = needsAttention(static_cast<unsigned char>(byte), stopAtNonASCII) ? at : length;
                        ASSERT_EQ(AgentWire::ByteScan::stringRun(text.data() + offset, length, stopAtNonASCII), expected)
                            << stopAtNonASCII << " " << int(byte) << " " << length << " " << offset << " " << at;
                    }
                }
            }
        }
    }
}
