#include "AgentSetup/TOMLMCPConfig.hpp"

#include <gtest/gtest.h>

using namespace AgentSetup;

namespace {

const std::string kHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
const std::string kCommand = "command = \"/Applications/Bosken.app/Contents/Helpers/bosken-mcp\"";

using Merged = std::variant<std::string, TOMLMCPConfig::Problem>;
using Removed = std::variant<TOMLMCPConfig::Removal, TOMLMCPConfig::Problem>;
Merged merged(const std::optional<std::string>& bytes, const std::string& helper = kHelper) {
    return TOMLMCPConfig::merged(bytes, "bosken", helper);
}

}  // namespace

TEST(TOMLMCPConfig, MergesAndMergingAgainChangesNothing) {
    const std::string h = "[mcp_servers.bosken]\n", table = h + kCommand + "\nargs = []\n";
    struct Case { std::string name; std::optional<std::string> before; std::string after; };
    const Case cases[] = {
        {"no file", std::nullopt, table},
        {"new table after one blank line", "model = \"o3\"", "model = \"o3\"\n\n" + table},
        {"trailing blank lines", "model = \"o3\"\n\n\n\n", "model = \"o3\"\n\n" + table},
        {"CRLF new table", "model = \"o3\"\r\n\r\n\r\n",
         "model = \"o3\"\r\n\r\n\r\n\r\n[mcp_servers.bosken]\r\n" + kCommand + "\r\nargs = []\r\n"},
        {"CRLF edit", "[mcp_servers.bosken]\r\ncommand = \"old\"\r\nenv = { A = \"1\" }\r\n",
         "[mcp_servers.bosken]\r\n" + kCommand + "\r\nargs = []\r\nenv = { A = \"1\" }\r\n"},
        {"comments, other keys, env sub-table and other servers kept",
         "# Codex settings\nmodel = \"o3\"\n\n[mcp_servers.bosken]  # the browser\ncommand = \"/Volumes/Old/bosken-mcp\"\n"
         "# keep this note\nargs = [\"--old\"]\nstartup_timeout_sec = 30\n\n[mcp_servers.bosken.env]\nA = \"1\"\n\n"
         "[mcp_servers.other]\ncommand = \"other\"\nargs = [\"x\"]\n",
         "# Codex settings\nmodel = \"o3\"\n\n[mcp_servers.bosken]  # the browser\n" + kCommand +
             "\n# keep this note\nargs = []\nstartup_timeout_sec = 30\n\n[mcp_servers.bosken.env]\nA = \"1\"\n\n"
             "[mcp_servers.other]\ncommand = \"other\"\nargs = [\"x\"]\n"},
        {"only env", h + "[mcp_servers.bosken.env]\nA = \"1\"\n", table + "[mcp_servers.bosken.env]\nA = \"1\"\n"},
        {"args first, no command", h + "args = [\"a\"]\nenv = {}\n", table + "env = {}\n"},
        {"args further down, no command", h + "x = 1\nargs = [\"a\"]\n", h + kCommand + "\nx = 1\nargs = []\n"},
        {"args before command", h + "args = []\nx = 1\ncommand = 'old'\n", h + "args = []\nx = 1\n" + kCommand + "\n"},
        {"header is the last line without LF", "a = 1\n[mcp_servers.bosken]", "a = 1\n" + table},
        {"multi-line values become one line each",
         h + "command = \"\"\"\n/old/path\n\"\"\"\nargs = [\n  \"--a\",\n  \"--b\",\n]\nz = 1\n", table + "z = 1\n"},
        {"quoted keys and spacing", "[ mcp_servers . \"bosken\" ]\n  \"command\"   =  \"old\"\n",
         "[ mcp_servers . \"bosken\" ]\n" + kCommand + "\nargs = []\n"},
        {"later command wins", h + "command = \"a\"\ncommand = \"b\"\n", h + "command = \"a\"\n" + kCommand + "\nargs = []\n"},
        {"a deeper table only", "[mcp_servers.bosken.env]\nA = \"1\"\n", "[mcp_servers.bosken.env]\nA = \"1\"\n\n" + table},
        {"another server's dotted keys", "mcp_servers.other.command = \"x\"\n", "mcp_servers.other.command = \"x\"\n\n" + table},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(merged(c.before), Merged(c.after)) << c.name;
        EXPECT_EQ(merged(c.after), Merged(c.after)) << c.name;
    }
}

TEST(TOMLMCPConfig, RemovesTheTableWithItsSubTablesKeepingEverythingElse) {
    struct Case { std::string before, after, removed; };
    const std::string table = "[mcp_servers.bosken]\n" + kCommand + "\nargs = [\n  \"-v\",\n]\n";
    const Case cases[] = {
        {"a = 1\n\n" + table + "\n[mcp_servers.bosken.env]\nK = \"V\" # mine\n\n# next\n[b]\nc = 2\n",
         "a = 1\n\n# next\n[b]\nc = 2\n", table + "\n[mcp_servers.bosken.env]\nK = \"V\" # mine\n"},
        {"a = 1\r\n\r\n[mcp_servers.bosken]\r\n" + kCommand + "\r\n\r\n", "a = 1\r\n",
         "[mcp_servers.bosken]\n" + kCommand + "\n"},
        {"[mcp_servers.bosken.env]\nK = 1\n[x]\n[mcp_servers.bosken]\n" + kCommand + "\n", "[x]\n",
         "[mcp_servers.bosken.env]\nK = 1\n[mcp_servers.bosken]\n" + kCommand + "\n"},
        {"[mcp_servers.other]\ncommand = \"x\"\n", "[mcp_servers.other]\ncommand = \"x\"\n", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TOMLMCPConfig::removed(c.before, "bosken"), Removed(TOMLMCPConfig::Removal{c.after, c.removed})) << c.before;
    EXPECT_EQ(TOMLMCPConfig::removed("mcp_servers.bosken.command = \"/x\"\n", "bosken").index(), 1u);
}

TEST(TOMLMCPConfig, Refusals) {
    const std::string unreadable = "it isn't TOML Bosken can read (an unfinished string, array or table header)";
    const std::string inlined = "it sets mcp_servers.bosken inline or with dotted keys";
    const std::pair<std::string, TOMLMCPConfig::Problem> cases[] = {
        {"args = [\n", {unreadable, false}},
        {"[mcp_servers.bosken\n", {unreadable, false}},
        {"[[mcp_servers.bosken]]\ncommand = \"x\"\n", {"it defines mcp_servers.bosken as an array of tables", true}},
        {"[[mcp_servers.bosken.tools]]\n", {"it defines mcp_servers.bosken as an array of tables", true}},
        {"[mcp_servers.bosken]\n[x]\n[mcp_servers.bosken]\n", {"it has two [mcp_servers.bosken] tables", true}},
        {"[mcp_servers]\nbosken = { command = \"x\" }\n", {inlined, true}},
        {"[mcp_servers]\nbosken.command = \"x\"\n", {inlined, true}},
        {"mcp_servers.bosken.command = \"x\"\n", {inlined, true}},
        {"mcp_servers = {}\n", {inlined, true}},
        {"\"mcp_servers\" = { other = { command = \"x\" } }\n", {inlined, true}},
        {"[mcp_servers.other]\nx = 1\n[mcp]\nservers = 1\n[mcp_servers]\nbosken = {}\n", {inlined, true}},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(merged(bytes), Merged(expected)) << bytes;
}

// Exactly as TOML spells it, and read back as the same text.
TEST(TOMLMCPConfig, Quoted) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a \"b\"/c\\d\x1B", "\"/a \\\"b\\\"/c\\\\d\\u001B\""},
        {"tab\tlf\ncr\rdel\x7F nul", "\"tab\\tlf\\ncr\\u000Ddel\\u007F nul\""},
        {std::string("\0x", 2), "\"\\u0000x\""},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(TOMLMCPConfig::quoted(text), expected) << text;
        EXPECT_EQ(TOMLLexer::value("command = " + expected), text) << text;
    }
}

TEST(TOMLMCPConfig, AHelperPathThatIsntUTF8IsNeverWritten) {
    EXPECT_EQ(merged("a = 1\n", "/Volumes/\xFF/bosken-mcp"),
              Merged(TOMLMCPConfig::Problem{"the helper's path isn't valid UTF-8, which TOML requires", false}));
}
