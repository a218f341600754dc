#pragma once

// What the installer tests share: a fixed helper path and planning time, and a fixture with a
// temporary home.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <string>

#include "AgentSetup/AgentInstaller.hpp"
#include "TestSupport/TempDir.hpp"

namespace InstallerTestSupport {

inline const std::string helper = "/Applications/Bosken.app/Contents/Helpers/bosken-mcp";
inline const auto planTime = std::chrono::system_clock::from_time_t(1700000000);

// The backup suffix of a plan made at planTime, in the local zone.
inline std::string stamp() {
    std::time_t t = std::chrono::system_clock::to_time_t(planTime);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// A JSON config whose "bosken" server starts `command`.
inline std::string boskenConfig(const std::string& command) {
    return "{\"mcpServers\": {\"bosken\": {\"command\": \"" + command + "\"}}}";
}

inline void writeExecutable(const std::string& file, const std::string& body = "#!/bin/sh\n") {
    TestSupport::writeFile(file, body);
    ::chmod(file.c_str(), 0755);
}

class InstallerTest : public TestSupport::TempDirTest {
protected:
    std::string home() const { return path("home"); }
    void write(const std::string& relative, const std::string& bytes) const { TestSupport::writeFile(path(relative), bytes); }
    std::string read(const std::string& relative) const { return TestSupport::readFile(path(relative)); }
    AgentSetup::AgentInstaller installer(AgentSetup::AgentInstaller::Environment environment, bool findCommands,
                                         AgentSetup::CommandRunner runner = {}) const {
        return AgentSetup::AgentInstaller(std::move(environment), home(), std::vector<std::string>{}, findCommands,
                                          std::move(runner), [] { return planTime; });
    }
    static AgentSetup::AgentPlan planned(const std::variant<AgentSetup::AgentPlan, AgentSetup::AgentInstallError>& made) {
        if (auto* error = std::get_if<AgentSetup::AgentInstallError>(&made)) {
            ADD_FAILURE() << "planning failed: " << error->message();
            return {};
        }
        return std::get<AgentSetup::AgentPlan>(made);
    }
};

}  // namespace InstallerTestSupport
