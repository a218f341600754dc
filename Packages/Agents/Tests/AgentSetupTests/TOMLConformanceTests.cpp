// The merge against the public TOML corpus: every valid document must be readable, and merging
// the server into it must leave every line outside the new table as it was.

#include "AgentSetup/TOMLLexer.hpp"
#include "AgentSetup/TOMLMCPConfig.hpp"
#include "TestSupport/TempDir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace AgentSetup;
namespace fs = std::filesystem;

namespace {

const std::string kHelper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";

// Where the corpus is absent (a clone without it beside), its tests are skipped, visibly.
bool corpusMissing() { return !fs::exists(fs::path(BOSKEN_CONFORMANCE_DIR) / "toml-test"); }

std::vector<std::string> tomlFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(fs::path(BOSKEN_CONFORMANCE_DIR) / "toml-test" / folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->is_regular_file() && it->path().extension() == ".toml") files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The lines that are not part of the server's table, which runs from its header to the next
// header (its sub-tables are kept, as they are not edited).
std::vector<std::string> outsideTable(const std::vector<std::string>& lines) {
    auto statements = TOMLLexer::statements(lines);
    if (!statements) return {};
    std::vector<std::string> kept;
    bool inside = false;
    for (const auto& statement : *statements) {
        if (auto* h = std::get_if<TOMLLexer::Statement::Header>(&statement.kind))
            inside = h->path == std::vector<std::string>{"mcp_servers", "bosken"};
        if (inside) continue;
        for (size_t i = statement.lines.first; i < statement.lines.end; ++i) {
            kept.push_back(lines[i]);
            if (kept.back().ends_with('\r')) kept.back().pop_back();
        }
    }
    while (!kept.empty() && kept.back().empty()) kept.pop_back();
    return kept;
}

}  // namespace

// A file the lexer cannot read is refused, so this also proves every valid file is readable.
TEST(TOMLConformance, MergeKeepsEveryLineOutsideTheTable) {
    if (corpusMissing()) GTEST_SKIP() << "no corpus at " BOSKEN_CONFORMANCE_DIR;
    auto files = tomlFiles("valid");
    ASSERT_GT(files.size(), 200u);
    for (const auto& file : files) {
        std::string original = TestSupport::readFile(file);
        auto result = TOMLMCPConfig::merged(original, "bosken", kHelper);
        if (auto* problem = std::get_if<TOMLMCPConfig::Problem>(&result)) {
            ADD_FAILURE() << file << " refused: " << problem->message;
            continue;
        }
        const std::string& merged = std::get<std::string>(result);
        auto before = TOMLMCPConfig::split(original);
        auto after = TOMLMCPConfig::split(merged);
        EXPECT_EQ(outsideTable(after), outsideTable(before)) << file;

        bool crlf = std::any_of(before.begin(), before.end(), [](auto& l) { return !l.empty() && l.back() == '\r'; });
        bool mixed = crlf && std::any_of(before.begin(), before.end() - 1, [](auto& l) { return l.empty() || l.back() != '\r'; });
        if (!mixed) {
            // A file with one line ending throughout keeps its bytes exactly, up to the new table.
            std::string_view old(original);
            while (!old.empty() && (old.back() == '\n' || old.back() == '\r')) old.remove_suffix(1);
            EXPECT_EQ(std::string_view(merged).substr(0, old.size()), old) << file;
        }

        auto located = TOMLMCPConfig::locate(after, "bosken");
        ASSERT_TRUE(std::holds_alternative<TOMLMCPConfig::Located>(located)) << file;
        const auto& found = std::get<TOMLMCPConfig::Located>(located);
        ASSERT_TRUE(found.command) << file;
        EXPECT_EQ(TOMLLexer::value(after[found.command->lines.first]), kHelper) << file;
        EXPECT_EQ(TOMLMCPConfig::merged(merged, "bosken", kHelper), result) << file << " (merging twice)";
    }
}

TEST(TOMLConformance, InvalidFilesNeverCrashTheMerge) {
    if (corpusMissing()) GTEST_SKIP() << "no corpus at " BOSKEN_CONFORMANCE_DIR;
    auto files = tomlFiles("invalid");
    ASSERT_GT(files.size(), 200u);
    for (const auto& file : files) {
        auto result = TOMLMCPConfig::merged(TestSupport::readFile(file), "bosken", kHelper);
        if (auto* merged = std::get_if<std::string>(&result))
            EXPECT_EQ(TOMLMCPConfig::merged(*merged, "bosken", kHelper), result) << file;
    }
}
