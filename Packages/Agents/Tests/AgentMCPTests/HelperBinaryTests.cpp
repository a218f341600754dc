#include "AgentMCP/HelperBinary.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TestSupport/TempDir.hpp"

namespace {

using namespace AgentMCP;

using HelperBinaryTests = TestSupport::TempDirTest;

TEST_F(HelperBinaryTests, IdentityIsStableUntilTheFileIsReplacedOrTouched) {
    using Change = void (*)(const std::string& file);
    const std::pair<const char*, Change> cases[] = {
        {"identical copy renamed over it",
         [](const std::string& file) {
             std::filesystem::copy_file(file, file + ".new");
             std::filesystem::rename(file + ".new", file);
         }},
        {"mode changed", [](const std::string& file) { ::chmod(file.c_str(), 0700); }},
    };
    for (const auto& [name, change] : cases) {
        std::string p = path("helper");  // a plain (unsigned) executable file
        TestSupport::writeFile(p, "#!/bin/sh\nexit 0\n");
        ::chmod(p.c_str(), 0755);
        auto before = HelperBinary::identity(p);
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(HelperBinary::identity(p), before) << "stable while nothing happens";
        // The status-change clock is coarse (one kernel tick), so two changes in a row can get
        // the same time; a pause makes the second one observable.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        change(p);
        auto after = HelperBinary::identity(p);
        ASSERT_TRUE(after.has_value()) << name;
        EXPECT_NE(*after, *before) << name;
    }
}

}  // namespace
