#include <gtest/gtest.h>

#include "AgentWire/UTF8.hpp"

namespace UTF8 = AgentWire::UTF8;

namespace {

TEST(UTF8, SequenceLengthsAndScalars) {
    struct Case { std::string bytes; size_t length; char32_t scalar; };
    for (const auto& c : std::vector<Case>{
             {"a", 1, U'a'}, {"\xC3\xA9", 2, 0xE9}, {"\xE2\x96\xB8", 3, 0x25B8}, {"\xF0\x9F\x98\x80", 4, 0x1F600},
             {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
             // overlong NUL, overlong, surrogate, beyond U+10FFFF
             {"\xC0\x80", 0, 0}, {"\xE0\x9F\xBF", 0, 0}, {"\xED\xA0\x80", 0, 0}, {"\xF4\x90\x80\x80", 0, 0},
             // truncated, lone continuation, bad continuation, never a UTF-8 byte
             {"\xE2\x96", 0, 0}, {"\x80", 0, 0}, {"\xC3\x28", 0, 0}, {"\xFF", 0, 0},
         }) {
        char32_t scalar = 0;
        EXPECT_EQ(UTF8::sequenceLength(c.bytes, 0, &scalar), c.length) << c.bytes;
        if (c.length) {
            EXPECT_EQ(scalar, c.scalar);
            std::string encoded;
            UTF8::append(encoded, c.scalar);
            EXPECT_EQ(encoded, c.bytes);
        }
        EXPECT_EQ(UTF8::isValid("ok " + c.bytes + " ok"), c.length != 0) << c.bytes;
    }
}

}  // namespace
