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

std::string roundTrip(std::string_view text) {
    auto value = JSON::parsed(text);
    return value ? value->data() : "<not JSON>";
}

TEST(JSONParse, ScalarsAtTopLevelKeepTheirCase) {
    EXPECT_EQ(*parse("1"), JSON(1));
    EXPECT_EQ(*parse("1.5"), JSON(1.5));
    EXPECT_EQ(*parse("true"), JSON(true));
    EXPECT_NE(*parse("true"), JSON(1));
    EXPECT_NE(*parse("0"), JSON(false));
    EXPECT_EQ(*parse(" \"x\" \r\n"), JSON("x"));
    EXPECT_TRUE(parse("null")->isNull());
}

TEST(JSONParse, RejectsEverythingThatIsNotOneWholeValue) {
    for (std::string_view text : {"", " ", "{", "[1,]", "{} x", "{\"a\":1,}", "[1 2]", "01", "1.", ".5", "-",
                                  "1e", "+1", "tru", "nul", "\"abc", "'a'", "[\"\\x\"]", "\"\t\"", "\xEF\xBB\xBF{}",
                                  "{\"a\" 1}", "{1:2}", "[]]", "\"\\ud800\"", "\"\\udc00x\"", "\"\xC0\x80\"",
                                  "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\x80\"", "\f1"}) {
        EXPECT_FALSE(parse(text)) << "accepted: " << text;
    }
    EXPECT_EQ(std::get<JSON::ParseError>(JSON::parse("{")), JSON::ParseError::notJSON);
}

TEST(JSONParse, MixedArrayKeepsOrderAndCases) {
    auto value = parse("[1, \"s\", null, {}]");
    ASSERT_TRUE(value && value->array());
    const auto& a = *value->array();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].kind(), JSON::Kind::number);
    EXPECT_EQ(a[1].kind(), JSON::Kind::string);
    EXPECT_EQ(a[2].kind(), JSON::Kind::null);
    EXPECT_EQ(a[3].kind(), JSON::Kind::object);
}

TEST(JSONParse, EscapesAndUnicode) {
    EXPECT_EQ(*parse(R"("a\"b\\c\/d\b\f\n\r\t")")->string(), "a\"b\\c/d\b\f\n\r\t");
    EXPECT_EQ(*parse(R"("\u00e9\u20AC")")->string(), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(*parse(R"("\ud83d\ude00")")->string(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(*parse("\"\xF0\x9F\x98\x80 caf\xC3\xA9\"")->string(), "\xF0\x9F\x98\x80 caf\xC3\xA9");
    EXPECT_EQ(*parse(R"("\u0000")")->string(), std::string(1, '\0'));
}

TEST(JSONParse, LoneSurrogatesReadAsReplacementOnlyWhenAsked) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        const char* text;
        std::string value;
    };
    for (const auto& [text, value] : std::initializer_list<Case>{
             {R"("\ud800")", fffd},
             {R"("a\udc00b")", "a" + fffd + "b"},
             {R"("\ud800\u0041")", fffd + "A"},
             {R"("\udbff\ud83d\ude00")", fffd + "\xF0\x9F\x98\x80"},
             {R"("\ude00\ud83d")", fffd + fffd},
             {R"("\ud800\n")", fffd + "\n"},
         }) {
        auto parsed = JSON::parsed(text, {.loneSurrogatesAsReplacement = true});
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed->string(), value) << text;
        EXPECT_FALSE(parse(text)) << text;
    }
    // Only the surrogate is forgiven: a bad escape after it is still not JSON.
    for (const char* text : {R"("\ud800\u00")", R"("\ud800\x")", R"("\ud800)"}) {
        EXPECT_FALSE(JSON::parsed(text, {.loneSurrogatesAsReplacement = true})) << text;
    }
}

TEST(JSONParse, NumbersReadCorrectlyRoundedAndWrittenShortest) {
    const double huge = HUGE_VAL;
    const std::string zeros(800, '0');
    struct Case {
        std::string text;
        double value;       // the double read; an infinity is null on the wire
        const char* wire;   // the shortest text written back
    };
    const std::vector<Case> cases = {
        {"0.1", 0.1, "0.1"},
        {"-2.5e-300", -2.5e-300, "-2.5e-300"},
        {"1.7976931348623157e308", 1.7976931348623157e308, "1.7976931348623157e+308"},
        {"9007199254740991", 9007199254740991.0, "9007199254740991"},
        {"9007199254740993", 9007199254740992.0, "9007199254740992"},  // a tie goes to even
        {"-9007199254740993", -9007199254740992.0, "-9007199254740992"},
        {"9007199254740993." + zeros + "1", 9007199254740994.0, "9007199254740994"},  // just past the tie
        {"1" + zeros + "e-800", 1.0, "1"},
        {"0." + zeros + "1e800", 0.1, "0.1"},
        {"5e-324", 5e-324, "5e-324"},  // the smallest subnormal
        {"2.2250738585072009e-308", 2.2250738585072009e-308, "2.225073858507201e-308"},  // the largest
        {"2.4703282292062328e-324", 5e-324, "5e-324"},  // just over half the smallest rounds up
        {"2.4703282292062327e-324", 0.0, "0"},          // just under rounds to zero
        {"1e-400", 0.0, "0"},
        {"-1e-400", -0.0, "0"},
        {"-0", -0.0, "0"},
        {"-0.0000e-99999", -0.0, "0"},
        {"1e400", huge, "null"},
        {"-1e400", -huge, "null"},
        {"1" + zeros + "e-400", huge, "null"},
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
        ASSERT_TRUE(exact && exact->numberText()) << label;
        EXPECT_EQ(*exact->numberText(), c.text) << label;
        EXPECT_EQ(exact->data(), c.text) << label;
        EXPECT_EQ(exact->doubleValue(), c.value) << label;
        EXPECT_EQ(std::signbit(*exact->doubleValue()), std::signbit(c.value)) << label;
    }
}

TEST(JSONParse, NestingIsBoundedWithoutExhaustingTheStack) {
    std::string deep(100000, '[');
    EXPECT_FALSE(parse(deep + std::string(100000, ']')));
    std::string ok = std::string(512, '[') + std::string(512, ']');
    EXPECT_TRUE(parse(ok));
    std::string objects;
    for (int i = 0; i < 512; ++i) objects += "{\"a\":";
    objects += "1" + std::string(512, '}');
    EXPECT_TRUE(parse(objects));
}

TEST(JSONParse, RepeatedKeysKeepOneValue) {
    auto small = parse(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(small->object()->size(), 2u);
    EXPECT_EQ(*(*small)["a"], JSON(3));
    std::string large = "{";
    for (int i = 0; i < 100; ++i) large += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    large += "\"k5\":\"again\",\"k99\":true}";
    auto value = parse(large);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->object()->size(), 100u);
    EXPECT_EQ(*(*value)["k5"], JSON("again"));
    EXPECT_EQ(*(*value)["k99"], JSON(true));
    EXPECT_EQ(*(*value)["k98"], JSON(98));
}

TEST(JSONAccessors, YieldNothingOnMismatch) {
    EXPECT_EQ(JSON(3).intValue(), 3);
    EXPECT_EQ(JSON(-0.0).intValue(), 0);
    EXPECT_FALSE(JSON(3.5).intValue());
    EXPECT_FALSE(JSON(1e16).intValue());
    EXPECT_FALSE(JSON(9e15).intValue());
    EXPECT_EQ(JSON(8999999999999999.0).intValue(), 8999999999999999);
    EXPECT_FALSE(JSON("3").intValue());
    EXPECT_FALSE(JSON(1).boolValue());
    EXPECT_FALSE(JSON(true).doubleValue());
    EXPECT_FALSE(JSON(1).string());
    EXPECT_FALSE(JSON::array({1})["a"]);
    EXPECT_FALSE(JSON()["a"]);
    auto object = JSON::object({{"present", nullptr}});
    EXPECT_FALSE(object["absent"]);
    ASSERT_TRUE(object["present"]);
    EXPECT_TRUE(object["present"]->isNull());
}

TEST(JSONLiterals, LaterPairWinsAndEqualityIgnoresOrder) {
    auto object = JSON::object({{"k", 1}, {"k", 2}});
    EXPECT_EQ(object.object()->size(), 1u);
    EXPECT_EQ(*object["k"], JSON(2));
    EXPECT_EQ(JSON::object({{"a", 1}, {"b", 2}}), JSON::object({{"b", 2}, {"a", 1}}));
    EXPECT_NE(JSON::object({{"a", 1}}), JSON::object({{"a", 1}, {"b", 2}}));
    EXPECT_EQ(JSON(0.0), JSON(-0.0));
    EXPECT_NE(JSON(std::nan("")), JSON(std::nan("")));
    EXPECT_NE(JSON::array({1, 2}), JSON::array({2, 1}));
}

TEST(JSONSerialize, CompactSortedAtEveryDepth) {
    auto value = JSON::object({{"b", JSON::object({{"z", 1}, {"y", 2}})}, {"a", JSON::array({3, "x"})}, {"c", nullptr}});
    EXPECT_EQ(value.data(), R"({"a":[3,"x"],"b":{"y":2,"z":1},"c":null})");
}

TEST(JSONSerialize, Numbers) {
    struct Case {
        double value;
        const char* text;
    };
    for (auto [value, text] : std::initializer_list<Case>{{2, "2"},
                                                           {2.5, "2.5"},
                                                           {-0.0, "0"},
                                                           {-7, "-7"},
                                                           {8999999999999999.0, "8999999999999999"},
                                                           {0.1, "0.1"},
                                                           {1e-7, "1e-07"}}) {
        EXPECT_EQ(JSON(value).data(), text);
    }
    // Not integral in the integer form: must read back as the same double.
    for (double value : {1e16, 9e15, 1.7976931348623157e308, 5e-324, 123.456, -2.5e-300}) {
        std::string text = JSON(value).data();
        EXPECT_EQ(JSON::parsed(text)->doubleValue(), value) << text;
        EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
    }
}

TEST(JSONSerialize, StringEscapes) {
    EXPECT_EQ(JSON("a/b").data(), "\"a/b\"");
    EXPECT_EQ(JSON("line\nfeed").data(), "\"line\\nfeed\"");
    EXPECT_EQ(JSON(std::string("\"\\\b\f\r\t\x01\x1f", 8)).data(), R"("\"\\\b\f\r\t\u0001\u001f")");
    EXPECT_EQ(JSON(std::string(1, '\0')).data(), R"("\u0000")");
    EXPECT_EQ(JSON("caf\xC3\xA9 \xE2\x96\xB8").data(), "\"caf\xC3\xA9 \xE2\x96\xB8\"");
    EXPECT_EQ(JSON().data(), "null");
    EXPECT_EQ(JSON("x").data(), "\"x\"");
}

TEST(JSONSerialize, LongStringsSurviveTheFastPaths) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += static_cast<char>(32 + (i * 7) % 95);
    text += "\n\x01\"\\tail";
    EXPECT_EQ(*JSON::parsed(JSON(text).data())->string(), text);
}

TEST(JSONSerialize, RoundTripsParsedText) {
    EXPECT_EQ(roundTrip(R"( { "b" : [ 1.0 , -0 , 1E2 ] , "a" : { } , "c" : [ ] } )"), R"({"a":{},"b":[1,0,100],"c":[]})");
}

TEST(JSONExactNumbers, KeepTheirTextAndValue) {
    JSON::ParseOptions exact{.exactNumbers = true};
    auto value = JSON::parsed(R"({"big":9007199254740993,"long":123456789012345678901,"f":1.50,"e":1E+2,"huge":1e400})",
                              exact);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->serialized({.pretty = false, .sortedKeys = false}),
              R"({"big":9007199254740993,"long":123456789012345678901,"f":1.50,"e":1E+2,"huge":1e400})");
    EXPECT_EQ(*(*value)["f"], JSON(1.5));
    EXPECT_EQ(*(*value)["big"]->numberText(), "9007199254740993");
    // The wire reading of the same text rounds, as doubles do.
    EXPECT_EQ(roundTrip("9007199254740993"), "9007199254740992");
}

TEST(JSONPretty, OneMemberPerLineSortedOrInOrder) {
    auto value = JSON::parsed(R"({"b":{"y":[1,{}],"x":"a/b"},"a":[],"c":"\u00e9"})", {.exactNumbers = true});
    EXPECT_EQ(value->serialized({.pretty = true, .sortedKeys = true}),
              "{\n"
              "  \"a\" : [],\n"
              "  \"b\" : {\n"
              "    \"x\" : \"a/b\",\n"
              "    \"y\" : [\n"
              "      1,\n"
              "      {}\n"
              "    ]\n"
              "  },\n"
              "  \"c\" : \"\xC3\xA9\"\n"
              "}");
    EXPECT_EQ(value->serialized({.pretty = true, .sortedKeys = false}).substr(0, 10), "{\n  \"b\" : ");
}

TEST(JSONObject, SetReplacesInPlaceAndEraseRemoves) {
    JSON::Object o{{"a", 1}, {"b", 2}};
    o.set("a", 3);
    o.set("c", 4);
    std::vector<std::string> keys;
    for (const auto& m : o) keys.push_back(m.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(*o.find("a"), JSON(3));
    EXPECT_TRUE(o.erase("b"));
    EXPECT_FALSE(o.erase("b"));
    EXPECT_EQ(o.size(), 2u);
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
        bool okExact = JSON::parsed(bytes, {.exactNumbers = true}).has_value();
        EXPECT_EQ(ok, okExact) << name;
        if (name[0] == 'y') {
            EXPECT_TRUE(ok) << name;
        } else if (name[0] == 'n') {
            EXPECT_FALSE(ok) << name;
        }
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

}  // namespace
