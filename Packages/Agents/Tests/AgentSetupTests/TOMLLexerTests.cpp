#include "AgentSetup/TOMLLexer.hpp"

#include <gtest/gtest.h>

using namespace AgentSetup;
using Statement = TOMLLexer::Statement;
using Path = std::vector<std::string>;

namespace {

Statement other(size_t line) { return {Statement::Other{}, {line, line + 1}}; }
Statement header(Path path, bool isArray, size_t line) { return {Statement::Header{std::move(path), isArray}, {line, line + 1}}; }
Statement pair(Path key, size_t first, size_t end) { return {Statement::Pair{std::move(key)}, {first, end}}; }

}  // namespace

TEST(TOMLLexer, EmptyFileHasNoStatements) {
    EXPECT_EQ(TOMLLexer::statements({}), std::vector<Statement>{});
}

TEST(TOMLLexer, CommentsAndBlankLinesAreOtherStatements) {
    EXPECT_EQ(TOMLLexer::statements({"# top", "", "  \t", "\r", "   # indented"}),
              (std::vector<Statement>{other(0), other(1), other(2), other(3), other(4)}));
}

TEST(TOMLLexer, ReadsAWholeFile) {
    std::vector<std::string> lines{
        "model = \"o3\"  # chosen",
        "",
        "[mcp_servers.bosken]\r",
        "command = \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"",
        "args = [",
        "  \"--flag\",  # a [bracket] in a comment",
        "]",
        "[[profiles]]",
        "env = { A = \"}\", B = '{' }",
    };
    EXPECT_EQ(TOMLLexer::statements(lines),
              (std::vector<Statement>{pair({"model"}, 0, 1), other(1), header({"mcp_servers", "bosken"}, false, 2),
                                      pair({"command"}, 3, 4), pair({"args"}, 4, 7), header({"profiles"}, true, 7),
                                      pair({"env"}, 8, 9)}));
}

TEST(TOMLLexer, MultiLineStringsSpanTheirLines) {
    std::vector<std::string> basic{"command = \"\"\"", "/path/one", "[not a header]", "\"\"\"", "x = 1"};
    EXPECT_EQ(TOMLLexer::statements(basic), (std::vector<Statement>{pair({"command"}, 0, 4), pair({"x"}, 4, 5)}));

    std::vector<std::string> literal{"a = '''one", "two ''", "three'''  # done", "b = 2"};
    EXPECT_EQ(TOMLLexer::statements(literal), (std::vector<Statement>{pair({"a"}, 0, 3), pair({"b"}, 3, 4)}));

    // An escaped quote does not close a multi-line basic string; four quotes close it.
    std::vector<std::string> escaped{"a = \"\"\"x\\\"\"\"", "still inside", "end\"\"\"\"", "b = 2"};
    EXPECT_EQ(TOMLLexer::statements(escaped), (std::vector<Statement>{pair({"a"}, 0, 3), pair({"b"}, 3, 4)}));
}

TEST(TOMLLexer, AnUnclosedSingleLineStringEndsWithItsLine) {
    EXPECT_EQ(TOMLLexer::statements({"a = \"open [", "b = 'x"}),
              (std::vector<Statement>{pair({"a"}, 0, 1), pair({"b"}, 1, 2)}));
}

TEST(TOMLLexer, BracketsInsideStringsDoNotNest) {
    EXPECT_EQ(TOMLLexer::statements({"a = [\"]\", ']', \"\\\"]\"", "]"}), (std::vector<Statement>{pair({"a"}, 0, 2)}));
}

TEST(TOMLLexer, UnreadableFiles) {
    const std::vector<std::vector<std::string>> files{
        {"a = ["},                        // array open at the end of the file
        {"a = {", "b = 1"},               // inline table never closed
        {"a = \"\"\"", "never closed"},   // multi-line basic string
        {"a = '''", "never closed"},      // multi-line literal string
        {"just words"},                   // no equals sign
        {"\"a = 1\""},                    // the equals sign is inside quotes
        {"a..b = 1"},                     // empty bare segment
        {" = 1"},                         // nothing before the equals sign
        {"\"a = 1"},                      // unclosed quoted key (the = is inside it)
        {"[a] x"},                        // text after a header
        {"[[a]"},                         // array header closed with one bracket
        {"[a"},                           // no closing bracket
        {"[a.]"},                         // trailing dot
        {"[]"},                           // empty header
        {"ok = 1", "[x] y", "z = 2"},     // one bad line spoils the whole file
    };
    for (const auto& lines : files) EXPECT_EQ(TOMLLexer::statements(lines), std::nullopt) << lines[0];
}

TEST(TOMLLexer, Headers) {
    struct Case {
        std::string line;
        std::optional<Statement::Header> expected;
    };
    const std::vector<Case> cases{
        {"[mcp_servers.bosken]", Statement::Header{{"mcp_servers", "bosken"}, false}},
        {"[[mcp_servers.x]]", Statement::Header{{"mcp_servers", "x"}, true}},
        {"[ a . \"b.c\" ]", Statement::Header{{"a", "b.c"}, false}},
        {"[a] # note", Statement::Header{{"a"}, false}},
        {"[a]#", Statement::Header{{"a"}, false}},
        {"[\"x]y\"]", Statement::Header{{"x]y"}, false}},
        {"['it''s']", Statement::Header{{"its"}, false}},  // quoted parts run together
        {"[a] x", std::nullopt},
        {"[[a]", std::nullopt},
        {"[[a] ]", std::nullopt},
        {"[a]]", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(TOMLLexer::header(c.line), c.expected) << c.line;
}

TEST(TOMLLexer, KeyPaths) {
    struct Case {
        std::string key;
        std::optional<Path> expected;
    };
    const std::vector<Case> cases{
        {"a", Path{"a"}},
        {" a . b ", Path{"a", "b"}},
        {"a b", Path{"ab"}},
        {"\"a.b\".c", Path{"a.b", "c"}},
        {"'C:\\x'", Path{"C:\\x"}},
        {"\"q\\\"uote\"", Path{"q\"uote"}},
        {"\"t\\tn\\n\\\\\"", Path{"t\tn\n\\"}},
        {"\"\"", Path{""}},
        {"''.a", Path{"", "a"}},
        {"\"caf\\u00e9\"", Path{"caf\xC3\xA9"}},
        {"\"\\xff\"", Path{"xff"}},
        {"\"\xFF\"", Path{""}},  // invalid UTF-8 gives the empty text
        {"", std::nullopt},
        {"a.", std::nullopt},
        {".a", std::nullopt},
        {"a..b", std::nullopt},
        {"a. .b", std::nullopt},
        {"\"open", std::nullopt},
        {"'open", std::nullopt},
        {"\"ends in backslash\\", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(TOMLLexer::keyPath(c.key), c.expected) << c.key;
}

TEST(TOMLLexer, AQuotedKeyWithAnEscapedQuoteIsFound) {
    EXPECT_EQ(TOMLLexer::statements({"\"a\\\"=b\" = 1"}), (std::vector<Statement>{pair({"a\"=b"}, 0, 1)}));
}

TEST(TOMLLexer, FirstEquals) {
    EXPECT_EQ(TOMLLexer::firstEquals("a = b = c"), 2u);
    EXPECT_EQ(TOMLLexer::firstEquals("\"a=\" = 1"), 5u);
    EXPECT_EQ(TOMLLexer::firstEquals("'a\\' = 1"), 5u);  // no escapes in single quotes
    EXPECT_EQ(TOMLLexer::firstEquals("\"a\\\"=\" = 1"), 7u);
    EXPECT_EQ(TOMLLexer::firstEquals("no equals"), std::nullopt);
    EXPECT_EQ(TOMLLexer::firstEquals("\"open = 1"), std::nullopt);
}

TEST(TOMLLexer, ValueEnd) {
    std::vector<std::string> lines{"a = [", "  1, # ]", "  [2, 3]", "]", "b = 1"};
    EXPECT_EQ(TOMLLexer::valueEnd(lines, 0, 3), 3u);
    EXPECT_EQ(TOMLLexer::valueEnd(lines, 4, 3), 4u);
    EXPECT_EQ(TOMLLexer::valueEnd({"a = [[1]"}, 0, 3), std::nullopt);
    // More closing than opening brackets still ends the value on its line.
    EXPECT_EQ(TOMLLexer::valueEnd({"a = ]]", "x"}, 0, 3), 0u);
}

TEST(TOMLLexer, StringValues) {
    struct Case {
        std::string line;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases{
        {"command = \"/Applications/Bosken.app/x\" # the helper", "/Applications/Bosken.app/x"},
        {"  command='C:\\tools\\x'  ", "C:\\tools\\x"},
        {"command = \"a\\\"b\\\\c\\td\\ne\"", "a\"b\\c\td\ne"},
        {"command = \"esc\\u001B \\U0001F600 \\e\"", "esc\x1B \xF0\x9F\x98\x80 \x1B"},
        {"command = \"\\u00\"", "u00"},  // too few digits: the letter itself
        {"command = \"\\uD800\"", "uD800"},
        {"\"key = x\" = \"v\"", "v"},
        {"command = 42", std::nullopt},
        {"command = [\"a\"]", std::nullopt},
        {"command = bare", std::nullopt},
        {"command =", std::nullopt},
        {"command = \"open", std::nullopt},
        {"command = \"ends\\", std::nullopt},
        {"no equals", std::nullopt},
        {"command = \"\xFF\"", std::nullopt},
        {"command = \"\"\"", ""},  // first line of a multi-line string
    };
    for (const auto& c : cases) EXPECT_EQ(TOMLLexer::value(c.line), c.expected) << c.line;
}

TEST(TOMLLexer, Trimmed) {
    EXPECT_EQ(TOMLLexer::trimmed(" \t a b \r"), "a b");
    EXPECT_EQ(TOMLLexer::trimmed("\f a"), "\f a");  // form feed is not blank
    EXPECT_EQ(TOMLLexer::trimmed(" \r\t"), "");
}

TEST(TOMLLexer, AByteOrderMarkOpensTheFileOnly) {
    EXPECT_EQ(TOMLLexer::statements({"\xEF\xBB\xBF[a]", "b = 1"}),
              (std::vector<Statement>{header({"a"}, false, 0), pair({"b"}, 1, 2)}));
    EXPECT_EQ(TOMLLexer::statements({"\xEF\xBB\xBFkey = 1"}), (std::vector<Statement>{pair({"key"}, 0, 1)}));
    EXPECT_EQ(TOMLLexer::statements({"a = 1", "\xEF\xBB\xBF[b]"}), std::nullopt);
}
