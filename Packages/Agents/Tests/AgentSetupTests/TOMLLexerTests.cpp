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

TEST(TOMLLexer, Statements) {
    using S = std::vector<Statement>;
    const std::pair<std::vector<std::string>, std::optional<S>> cases[] = {
        {{}, S{}},
        {{"# top", "", "  \t", "\r", "   # indented"}, S{other(0), other(1), other(2), other(3), other(4)}},
        {{"model = \"o3\"  # chosen", "", "[mcp_servers.bosken]\r",
          "command = \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"", "args = [",
          "  \"--flag\",  # a [bracket] in a comment", "]", "[[profiles]]", "env = { A = \"}\", B = '{' }"},
         S{pair({"model"}, 0, 1), other(1), header({"mcp_servers", "bosken"}, false, 2), pair({"command"}, 3, 4),
           pair({"args"}, 4, 7), header({"profiles"}, true, 7), pair({"env"}, 8, 9)}},
        // Multi-line strings span their lines; an escaped quote does not close a basic one, four quotes do.
        {{"command = \"\"\"", "/path/one", "[not a header]", "\"\"\"", "x = 1"}, S{pair({"command"}, 0, 4), pair({"x"}, 4, 5)}},
        {{"a = '''one", "two ''", "three'''  # done", "b = 2"}, S{pair({"a"}, 0, 3), pair({"b"}, 3, 4)}},
        {{"a = \"\"\"x\\\"\"\"", "still inside", "end\"\"\"\"", "b = 2"}, S{pair({"a"}, 0, 3), pair({"b"}, 3, 4)}},
        // An unclosed single-line string ends with its line; brackets inside strings do not nest.
        {{"a = \"open [", "b = 'x"}, S{pair({"a"}, 0, 1), pair({"b"}, 1, 2)}},
        {{"a = [\"]\", ']', \"\\\"]\"", "]"}, S{pair({"a"}, 0, 2)}},
        {{"\"a\\\"=b\" = 1"}, S{pair({"a\"=b"}, 0, 1)}},
        // A byte order mark opens the file only.
        {{"\xEF\xBB\xBF[a]", "b = 1"}, S{header({"a"}, false, 0), pair({"b"}, 1, 2)}},
        {{"\xEF\xBB\xBFkey = 1"}, S{pair({"key"}, 0, 1)}},
        {{"a = 1", "\xEF\xBB\xBF[b]"}, std::nullopt},
        // Unreadable: unclosed arrays, inline tables and multi-line strings, no equals sign outside
        // quotes, empty key segments, bad headers; one bad line spoils the whole file.
        {{"a = ["}, std::nullopt}, {{"a = {", "b = 1"}, std::nullopt}, {{"a = \"\"\"", "never closed"}, std::nullopt},
        {{"just words"}, std::nullopt}, {{"a..b = 1"}, std::nullopt}, {{"\"a = 1"}, std::nullopt}, {{"[a"}, std::nullopt},
        {{"ok = 1", "[x] y", "z = 2"}, std::nullopt},
    };
    for (const auto& [lines, expected] : cases) {
        EXPECT_EQ(TOMLLexer::statements(lines), expected) << ::testing::PrintToString(lines);
    }
}

TEST(TOMLLexer, Headers) {
    const std::pair<std::string, std::optional<Statement::Header>> cases[] = {
        {"[mcp_servers.bosken]", Statement::Header{{"mcp_servers", "bosken"}, false}},
        {"[[mcp_servers.x]]", Statement::Header{{"mcp_servers", "x"}, true}},
        {"[ a . \"b.c\" ]", Statement::Header{{"a", "b.c"}, false}},
        {"[a] # note", Statement::Header{{"a"}, false}},
        {"[\"x]y\"]", Statement::Header{{"x]y"}, false}},
        {"['it''s']", Statement::Header{{"its"}, false}},  // quoted parts run together
        {"[a] x", std::nullopt}, {"[[a]", std::nullopt}, {"[a]]", std::nullopt},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(TOMLLexer::header(line), expected) << line;
}

TEST(TOMLLexer, KeyPaths) {
    const std::pair<std::string, std::optional<Path>> cases[] = {
        {"a", Path{"a"}},
        {" a . b ", Path{"a", "b"}},
        {"\"a.b\".c", Path{"a.b", "c"}},
        {"\"q\\\"uote\"", Path{"q\"uote"}},
        {"\"caf\\u00e9\"", Path{"caf\xC3\xA9"}},
        {"\"\\xff\"", Path{"xff"}},
        {"\"\xFF\"", Path{""}},  // invalid UTF-8 gives the empty text
        {"", std::nullopt}, {"a..b", std::nullopt}, {"\"open", std::nullopt}, {"\"ends in backslash\\", std::nullopt},
    };
    for (const auto& [key, expected] : cases) EXPECT_EQ(TOMLLexer::keyPath(key), expected) << key;
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
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"command = \"/Applications/Bosken.app/x\" # the helper", "/Applications/Bosken.app/x"},
        {"  command='C:\\tools\\x'  ", "C:\\tools\\x"},
        {"command = \"a\\\"b\\\\c\\td\\ne\"", "a\"b\\c\td\ne"},
        {"command = \"esc\\u001B \\U0001F600 \\e\"", "esc\x1B \xF0\x9F\x98\x80 \x1B"},
        {"command = \"\\u00\"", "u00"},  // too few digits: the letter itself
        {"command = \"\\uD800\"", "uD800"},
        {"\"key = x\" = \"v\"", "v"},
        {"command = 42", std::nullopt}, {"command = [\"a\"]", std::nullopt}, {"command = \"open", std::nullopt},
        {"command = \"ends\\", std::nullopt}, {"no equals", std::nullopt}, {"command = \"\xFF\"", std::nullopt},
        {"command = \"\"\"", ""},  // first line of a multi-line string
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(TOMLLexer::value(line), expected) << line;
}

