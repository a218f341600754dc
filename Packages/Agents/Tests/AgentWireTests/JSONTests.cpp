#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "AgentWire/JSON.hpp"
#include "TestSupport/TempDir.hpp"

using AgentWire::JSON;

namespace {

std::optional<JSON> parse(std::string_view text) { return JSON::parsed(text); }

TEST(JSONParse, ScalarsAtTopLevelAndWhatIsNotOneWholeValue) {
    EXPECT_EQ(*parse(" \"x\" \r\n"), JSON("x"));
    EXPECT_NE(*parse("true"), JSON(1));
    EXPECT_NE(*parse("0"), JSON(false));
    // Syntax errors are the corpus's; these are the byte-level refusals it leaves open.
    for (std::string_view text : {"", "\xEF\xBB\xBF{}", "\"\\ud800\"", "\"\\udc00x\"", "\"\xC0\x80\"", "\"\xED\xA0\x80\"",
                                  "\"\xF4\x90\x80\x80\"", "\"\x80\"", "\f1", "{} x"})
        EXPECT_FALSE(parse(text)) << "accepted: " << text;
}

TEST(JSONParse, LoneSurrogatesReadAsReplacementOnlyWhenAsked) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<const char*, std::string> cases[] = {
        {R"("a\udc00b")", "a" + fffd + "b"}, {R"("\udbff\ud83d\ude00")", fffd + "\xF0\x9F\x98\x80"}, {R"("\ude00\ud83d")", fffd + fffd}};
    for (const auto& [text, value] : cases) {
        auto parsed = JSON::parsed(text, {.loneSurrogatesAsReplacement = true});
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed->string(), value) << text;
        EXPECT_FALSE(parse(text)) << text;
    }
    // Only the surrogate is forgiven: a bad escape after it is still not JSON.
    for (const char* text : {R"("\ud800\u00")", R"("\ud800\x")", R"("\ud800)"})
        EXPECT_FALSE(JSON::parsed(text, {.loneSurrogatesAsReplacement = true})) << text;
}

TEST(JSONParse, NumbersReadCorrectlyRoundedAndWrittenShortest) {
    const double huge = HUGE_VAL;
    const std::string zeros(800, '0');
    // The text, the double read (an infinity is null on the wire), the shortest text written back.
    struct Case { std::string text; double value; const char* wire; };
    const std::vector<Case> cases = {
        {"0.1", 0.1, "0.1"}, {"0." + zeros + "1e800", 0.1, "0.1"},
        {"9007199254740993", 9007199254740992.0, "9007199254740992"},  // a tie goes to even
        {"2.4703282292062327e-324", 0.0, "0"},  // just under half the smallest subnormal
        {"-1e-400", -0.0, "0"}, {"-0", -0.0, "0"}, {"-1e400", -huge, "null"}, {"1" + zeros + "e-400", huge, "null"},
    };
    for (const auto& c : cases) {
        std::string label = c.text.substr(0, 40);
        auto wire = JSON::parsed(c.text);
        ASSERT_TRUE(wire) << label;
        EXPECT_EQ(wire->data(), c.wire) << label;
        if (std::isfinite(c.value)) {
            EXPECT_EQ(std::signbit(*wire->doubleValue()), std::signbit(c.value)) << label;
            EXPECT_EQ(JSON::parsed(c.wire)->doubleValue(), c.value) << label;
        }
        auto exact = JSON::parsed(c.text, {.exactNumbers = true});
        ASSERT_TRUE(exact) << label;
        EXPECT_EQ(exact->data(), c.text) << label;
        EXPECT_EQ(exact->doubleValue(), c.value) << label;
        EXPECT_EQ(std::signbit(*exact->doubleValue()), std::signbit(c.value)) << label;
    }
}

TEST(JSONParse, NestingIsBoundedWithoutExhaustingTheStack) {
    EXPECT_FALSE(parse(std::string(100000, '[') + std::string(100000, ']')));
    std::string objects;
    for (int i = 0; i < 1024; ++i) objects += "{\"a\":";
    EXPECT_TRUE(parse(objects + "1" + std::string(1024, '}')));
}

TEST(JSONParse, RepeatedKeysKeepTheLaterValueInSmallAndLargeObjects) {
    EXPECT_EQ(parse(R"({"a":1,"b":2,"a":3})")->serialized({.sortedKeys = false}), R"({"a":3,"b":2})");
    std::string large = "{";
    for (int i = 0; i < 100; ++i) large += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    auto value = parse(large + "\"k5\":\"again\"}");
    EXPECT_EQ(value->object()->size(), 100u);
    EXPECT_EQ(*(*value)["k5"], JSON("again"));
}

TEST(JSONAccessors, YieldNothingOnMismatch) {
    EXPECT_EQ(JSON(-0.0).intValue(), 0);
    EXPECT_FALSE(JSON(3.5).intValue());
    EXPECT_FALSE(JSON(9e15).intValue());
    EXPECT_EQ(JSON(8999999999999999.0).intValue(), 8999999999999999);
    EXPECT_FALSE(JSON(1).boolValue());
    EXPECT_EQ(JSON::object({{"k", 1}, {"k", 2}}), JSON::object({{"k", 2}}));  // the later pair wins
    EXPECT_NE(JSON::object({{"a", 1}}), JSON::object({{"a", 1}, {"b", 2}}));
}

TEST(JSONSerialize, CompactSortedAtEveryDepth) {
    EXPECT_EQ(parse(R"( { "b" : [ 1.0 , -0 , 1E2, {"z":1,"y":null} ] , "a" : { } , "c" : [ ] } )")->data(),
              R"({"a":{},"b":[1,0,100,{"y":null,"z":1}],"c":[]})");
}

TEST(JSONSerialize, Numbers) {
    for (auto [value, text] : std::initializer_list<std::pair<double, const char*>>{
             {2.5, "2.5"}, {-7, "-7"}, {8999999999999999.0, "8999999999999999"}, {1e-7, "1e-07"}})
        EXPECT_EQ(JSON(value).data(), text);
    // Not integral in the integer form: must read back as the same double.
    for (double value : {1e16, 9e15, 1.7976931348623157e308, 5e-324, 123.456, -2.5e-300}) {
        std::string text = JSON(value).data();
        EXPECT_EQ(JSON::parsed(text)->doubleValue(), value) << text;
        EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
    }
}

TEST(JSONSerialize, StringEscapes) {
    EXPECT_EQ(JSON(std::string("a/b\n\"\\\b\f\r\t\x01\x1f\0", 13)).data(), R"("a/b\n\"\\\b\f\r\t\u0001\u001f\u0000")");
    EXPECT_EQ(JSON("caf\xC3\xA9 \xE2\x96\xB8").data(), "\"caf\xC3\xA9 \xE2\x96\xB8\"");
}

TEST(JSONSerialize, LongStringsSurviveTheFastPaths) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += static_cast<char>(32 + (i * 7) % 95);
    text += "\n\x01\"\\tail";
    EXPECT_EQ(*JSON::parsed(JSON(text).data())->string(), text);
}

TEST(JSONPretty, OneMemberPerLineSortedOrInOrder) {
    auto value = JSON::parsed(R"({"b":{"y":[1,{}],"x":"a/b"},"a":[],"c":"\u00e9"})", {.exactNumbers = true});
    EXPECT_EQ(value->serialized({.pretty = true, .sortedKeys = true}),
              "{\n  \"a\" : [],\n  \"b\" : {\n    \"x\" : \"a/b\",\n    \"y\" : [\n      1,\n      {}\n    ]\n  },\n"
              "  \"c\" : \"\xC3\xA9\"\n}");
    EXPECT_EQ(value->serialized({.pretty = true, .sortedKeys = false}).substr(0, 10), "{\n  \"b\" : ");
}

TEST(JSONObject, SetReplacesInPlaceAndEraseRemoves) {
    JSON::Object o{{"a", 1}, {"b", 2}};
    o.set("a", 3);
    o.set("c", 4);
    EXPECT_TRUE(o.erase("b"));
    EXPECT_FALSE(o.erase("b"));
    EXPECT_EQ(JSON(o).serialized({.sortedKeys = false}), R"({"a":3,"c":4})");
}

// The public JSONTestSuite corpus: y_ must parse, n_ must fail, i_ must not crash.
TEST(JSONConformance, ParsingCorpus) {
    std::filesystem::path dir = std::filesystem::path(BOSKEN_CONFORMANCE_DIR) / "JSONTestSuite" / "test_parsing";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus at " << dir;
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        std::string bytes = TestSupport::readFile(entry.path().string());
        bool ok = JSON::parsed(bytes).has_value();
        EXPECT_EQ(ok, JSON::parsed(bytes, {.exactNumbers = true}).has_value()) << name;
        if (name[0] == 'y' || name[0] == 'n') EXPECT_EQ(ok, name[0] == 'y') << name;
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

}  // namespace
