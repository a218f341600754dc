#include "AgentMCP/Base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace AgentMCP;

TEST(Base64Tests, EncodesAndDecodesTheStandardVectorsAndEveryByteValueAndLengthRoundTrips) {
    struct Case { std::string bytes, text; };
    for (const auto& c : {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foobar", "Zm9vYmFy"}, Case{"\xfb\xff\xbf", "+/+/"}}) {
        EXPECT_EQ(Base64::encoded(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(Base64::decoded(c.text), c.bytes) << c.text;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t length = 0; length <= all.size(); ++length) {
        std::string bytes = all.substr(all.size() - length);
        ASSERT_EQ(Base64::decoded(Base64::encoded(bytes)), bytes) << length;
    }
}

TEST(Base64Tests, RejectsAnythingButStrictBase64) {
    for (const std::string& text : std::vector<std::string>{
             "Zg=", "Zm9vY", "Zg==\n", " Zg==", "Zm-_", "Zm9v!A==", std::string("Zm\0v", 4), "Zm9v\xc3\xa9" "A=",
             "Zg=a", "Zg==Zg==", "====", "Z===",  // misplaced or too much padding
             "Zh==", "Zm9=",                      // non-zero bits under the padding
         }) {
        EXPECT_EQ(Base64::decoded(text), std::nullopt) << text;
    }
}

}  // namespace
