#include "AgentMCP/Base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace AgentMCP;

TEST(Base64Tests, EncodesAndDecodesTheStandardVectors) {
    struct Case {
        std::string bytes, text;
    };
    for (const auto& c :
         {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foo", "Zm9v"}, Case{"foob", "Zm9vYg=="},
          Case{"fooba", "Zm9vYmE="}, Case{"foobar", "Zm9vYmFy"}, Case{"\xfb\xff\xbf", "+/+/"}}) {
        EXPECT_EQ(Base64::encoded(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(Base64::decoded(c.text), c.bytes) << c.text;
    }
}

TEST(Base64Tests, EveryByteValueAndLengthRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t length = 0; length <= all.size(); length += 1) {
        std::string bytes = all.substr(all.size() - length);
        auto text = Base64::encoded(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        ASSERT_EQ(Base64::decoded(text), bytes) << length;
    }
}

TEST(Base64Tests, RejectsAnythingButStrictBase64) {
    for (const std::string& text : std::vector<std::string>{
             "Zg=",                    // length not a multiple of four
             "Zm9vY",                  // likewise
             "Zg==\n",                 // line break
             " Zg==",                  // leading space
             "Zm 9v",                  // inner space
             "Zm9v\r\n",               // CR LF
             "Zm-_",                   // URL-safe alphabet
             "Zm9v!A==",               // punctuation
             "Zg=a",                   // data after padding
             "Zg==Zg==",               // padding in the middle
             "====",                   // padding only
             "Z===",                   // three padding characters
             "Zh==",                   // non-zero bits under the padding
             "Zm9=",                   // likewise, one padding character
             std::string("Zm\0v", 4),  // NUL byte
             "Zm9v\xc3\xa9"
             "A=",  // non-ASCII
         }) {
        EXPECT_EQ(Base64::decoded(text), std::nullopt) << text;
    }
}

}  // namespace
