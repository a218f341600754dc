#include "AgentMCP/HelperBinary.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "TestSupport/TempDir.hpp"

namespace {

using namespace AgentMCP;
using TestSupport::writeFile;

class HelperBinaryTests : public TestSupport::TempDirTest {
protected:
    // A plain (unsigned) executable file at `name`.
    std::string makeProgram(const std::string& name, const std::string& body = "#!/bin/sh\nexit 0\n") {
        std::string p = path(name);
        writeFile(p, body);
        ::chmod(p.c_str(), 0755);
        return p;
    }

    // The status-change clock is coarse (one kernel tick), so two changes in a row can get
    // the same time; a pause makes the second one observable.
    static void letTheClockMove() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }
};

TEST_F(HelperBinaryTests, IdentityIsStableUntilTheFileIsReplacedOrTouched) {
    using Change = void (*)(const std::string& file);
    const std::pair<const char*, Change> cases[] = {
        {"identical copy renamed over it",
         [](const std::string& file) {
             std::filesystem::copy_file(file, file + ".new");
             std::filesystem::rename(file + ".new", file);
         }},
        {"rewritten in place with the same size", [](const std::string& file) { writeFile(file, "#!/bin/sh\nexit 1\n"); }},
        {"mode changed", [](const std::string& file) { ::chmod(file.c_str(), 0700); }},
    };
    for (const auto& [name, change] : cases) {
        std::string p = makeProgram("helper");
        auto before = HelperBinary::identity(p);
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(HelperBinary::identity(p), before) << "stable while nothing happens";
        letTheClockMove();
        change(p);
        auto after = HelperBinary::identity(p);
        ASSERT_TRUE(after.has_value()) << name;
        EXPECT_NE(*after, *before) << name;
    }
}

TEST_F(HelperBinaryTests, RunnableFollowsExecutePermission) {
    std::string p = makeProgram("helper");
    EXPECT_TRUE(HelperBinary::isRunnable(p));
    ::chmod(p.c_str(), 0644);
    if (::geteuid() != 0) { EXPECT_FALSE(HelperBinary::isRunnable(p)); }
    ::chmod(p.c_str(), 0);
    EXPECT_FALSE(HelperBinary::isRunnable(p)) << "no execute bit for anyone, not even root";
    EXPECT_FALSE(HelperBinary::isRunnable(path("absent")));
    EXPECT_EQ(HelperBinary::identity(path("absent")), std::nullopt);
}

TEST_F(HelperBinaryTests, FailedExecuteReturnsErrnoAndCleansTheEnvironment) {
    ::unsetenv("BOSKEN_MCP_RESUME");
    EXPECT_EQ(HelperBinary::execute(path("absent"), {"bosken-mcp"}, "{\"v\":1}"), ENOENT);
    EXPECT_EQ(std::getenv("BOSKEN_MCP_RESUME"), nullptr);
    std::string notExecutable = makeProgram("data");
    ::chmod(notExecutable.c_str(), 0644);
    if (::geteuid() != 0) { EXPECT_EQ(HelperBinary::execute(notExecutable, {"x"}, "r"), EACCES); }
    EXPECT_EQ(HelperBinary::execute(dir.path().string(), {"x"}, "r"), EACCES);
    EXPECT_EQ(std::getenv("BOSKEN_MCP_RESUME"), nullptr);
}

TEST_F(HelperBinaryTests, ExecuteReplacesTheProcessWithArgumentsAndResumeText) {
    // The new image prints its arguments and the record: from the variable, or on Linux, for a
    // record over 120 KiB, from the memory file the variable names.
    const std::string script =
        "r=$BOSKEN_MCP_RESUME; case $r in fd:*) r=$(cat /dev/fd/${r#fd:});; esac; printf '%s|%s|%s' \"$0\" \"$1\" \"$r\"";
    std::vector<std::string> records = {"{\"v\":1,\"input\":\"aGk=\"}"};
#if defined(__linux__)
    records.push_back("{\"v\":1,\"input\":\"" + std::string(200 * 1024, 'A') + "\"}");
#endif
    for (const auto& record : records) {
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        std::fflush(nullptr);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(pipe[1], 1);
            ::close(pipe[0]);
            ::close(pipe[1]);
            // Buffered output of the old image must reach the pipe before the new image writes.
            std::fputs("before|", stdout);
            int error = HelperBinary::execute("/bin/sh", {"custom-name", "-c", script, "zero", "arg one"}, record);
            ::_exit(100 + error);
        }
        ::close(pipe[1]);
        std::string output = TestSupport::readFile("/dev/fd/" + std::to_string(pipe[0]));
        ::close(pipe[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(output, "before|zero|arg one|" + record);
    }
}

}  // namespace
