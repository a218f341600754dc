#include "AgentSetup/ClaudeCodeSetup.hpp"

#include <gtest/gtest.h>

#include "AgentSetup/ClaudeConfigFile.hpp"

using AgentSetup::ClaudeCodeSetup;
using AgentSetup::ClaudeConfigFile;
using AgentWire::JSON;

namespace {

constexpr const char* appHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

TEST(ClaudeCodeSetupLocations, SettingsFileFollowsClaudeConfigDirWhenSet) {
    struct Case {
        ClaudeCodeSetup::Environment environment;
        std::string home;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "/Users/ann", "/Users/ann/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", ""}}, "/Users/ann", "/Users/ann/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", "/tmp/cc"}}, "/Users/ann", "/tmp/cc/.claude.json"},
        {{{"CLAUDE_CONFIG_DIR", "/tmp/cc/"}}, "/Users/ann", "/tmp/cc/.claude.json"},
        // Taken as written: no tilde expansion.
        {{{"CLAUDE_CONFIG_DIR", "~/cc"}}, "/Users/ann", "~/cc/.claude.json"},
        {{{"HOME", "/elsewhere"}}, "/Users/ann", "/Users/ann/.claude.json"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClaudeCodeSetup::configURL(c.environment, c.home), c.expected) << c.home;
    }
}

TEST(ClaudeCodeSetupLocations, OnlyAppBundleHelpersOutsideVolumesAndTranslocationAreInstalled) {
    const std::pair<std::string, bool> cases[] = {
        {appHelper, true},
        {"/Users/ann/Applications/Bosken.app/Contents/Helpers/bosken-mcp", true},
        {"/Volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"/private/var/folders/xy/T/AppTranslocation/1234/d/Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"Bosken.app/Contents/Helpers/bosken-mcp", false},
        {"/usr/local/bin/bosken-mcp", false},
        {"/Applications/Bosken.app/Contents/MacOS/bosken-mcp", false},
        // Case-sensitive text tests.
        {"/Applications/Bosken.APP/Contents/Helpers/bosken-mcp", false},
        {"/volumes/Bosken/Bosken.app/Contents/Helpers/bosken-mcp", true},
        {"", false},
    };
    for (const auto& [path, installed] : cases) {
        EXPECT_EQ(ClaudeCodeSetup::isInstalled(path), installed) << path;
    }
}

TEST(ClaudeCodeSetupQuoting, QuotesOnlyWhatAShellWouldSplitOrExpand) {
    const std::pair<std::string, std::string> cases[] = {
        {appHelper, appHelper},
        {"", ""},
        {"a-b_c.d+e/9", "a-b_c.d+e/9"},
        {"/Applications/My Apps/Bosken.app/Contents/Helpers/bosken-mcp",
         "'/Applications/My Apps/Bosken.app/Contents/Helpers/bosken-mcp'"},
        {"/Applications/it's/Bosken.app/Contents/Helpers/bosken-mcp",
         "'/Applications/it'\\''s/Bosken.app/Contents/Helpers/bosken-mcp'"},
        {"''", "''\\'''\\'''"},
        {"$HOME", "'$HOME'"},
        {"a\"b", "'a\"b'"},
        {"a\\b", "'a\\b'"},
        {"a*b", "'a*b'"},
        {"a;b", "'a;b'"},
        {"a\nb", "'a\nb'"},
        {"~/x", "'~/x'"},
        {"a=b", "'a=b'"},
        {"a,b", "'a,b'"},
        // Letters, marks and digits of any script stay bare.
        {"/Programme/Büro/Ñandú", "/Programme/Büro/Ñandú"},
        {"/アプリ/ボスケン", "/アプリ/ボスケン"},
        {"/e\xCC\x81t\xC3\xA9", "/e\xCC\x81t\xC3\xA9"},  // combining acute accent (a mark)
        {"/\xD9\xA3\xD9\xA4", "/\xD9\xA3\xD9\xA4"},        // Arabic-Indic digits
        {"x\xC2\xB2", "x\xC2\xB2"},                        // superscript two (No)
        // Symbols, spaces of other scripts and broken UTF-8 are quoted.
        {"/caf\xC3\xA9\xE2\x80\x83x", "'/caf\xC3\xA9\xE2\x80\x83x'"},  // em space
        {"/\xF0\x9F\x98\x80", "'/\xF0\x9F\x98\x80'"},                  // emoji
        {"/a\xFF", "'/a\xFF'"},
        {"/a\xC3", "'/a\xC3'"},
        {"/a\xC0\xAF", "'/a\xC0\xAF'"},  // overlong "/"
        {"/a\xED\xA0\x80", "'/a\xED\xA0\x80'"},  // surrogate
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(ClaudeCodeSetup::shellQuoted(text), quoted) << text;
    }
}

TEST(ClaudeCodeSetupStatus, ComparesByKindAndCommand) {
    EXPECT_EQ(ClaudeCodeSetup::Status::otherHelper("/a"), ClaudeCodeSetup::Status::otherHelper("/a"));
    EXPECT_NE(ClaudeCodeSetup::Status::otherHelper("/a"), ClaudeCodeSetup::Status::otherHelper("/b"));
    EXPECT_NE(ClaudeCodeSetup::Status::otherHelper(""), ClaudeCodeSetup::Status::notConnected());
    EXPECT_NE(ClaudeCodeSetup::Status::connected(), ClaudeCodeSetup::Status::notConnected());
    EXPECT_EQ(ClaudeCodeSetup::serverName, "bosken");
}

TEST(ClaudeConfigFileEntry, HasExactlyTheFourMembersWithEmptyArgsAndEnv) {
    for (const std::string& command : {std::string(appHelper), std::string(), std::string("/a b/'c'")}) {
        const JSON entry = ClaudeConfigFile::entry(command);
        EXPECT_EQ(entry.serialized({.pretty = false, .sortedKeys = true}),
                  JSON::object({{"args", JSON::array({})},
                                 {"command", JSON(command)},
                                 {"env", JSON(JSON::Object{})},
                                 {"type", JSON("stdio")}})
                      .data());
        ASSERT_NE(entry.object(), nullptr);
        EXPECT_EQ(entry.object()->size(), 4u);
    }
    EXPECT_EQ(ClaudeConfigFile::entry(appHelper).data(),
              R"({"args":[],"command":"/Applications/Bosken.app/Contents/Helpers/bosken-mcp","env":{},"type":"stdio"})");
}

}  // namespace
