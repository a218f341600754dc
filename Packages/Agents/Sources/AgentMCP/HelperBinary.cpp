#include "AgentMCP/HelperBinary.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "AgentMCP/CodeSignature.hpp"
#include "AgentMCP/MCPResume.hpp"
#include "AgentWire/UTF8.hpp"

#if defined(__APPLE__)
#include <libproc.h>
#endif

namespace AgentMCP::HelperBinary {

std::optional<std::string> ownPath() {
    char buffer[4096] = {};
#if defined(__APPLE__)
    int length = proc_pidpath(getpid(), buffer, sizeof buffer);
    if (length <= 0) return std::nullopt;
#else
    // The kernel's link to the running image; readlink does not terminate it.
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0) return std::nullopt;
#endif
    std::string path(buffer, std::min(static_cast<size_t>(length), sizeof buffer));
    if (!AgentWire::UTF8::isValid(path)) return std::nullopt;
    return path;
}

std::optional<std::string> identity(const std::string& path) {
#if defined(__APPLE__)
    // A signed file is known by its code, so an identical re-signed copy is not a change.
    if (auto hash = CodeSignature::codeDirectoryHash(path)) return hash;
#endif
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
#if defined(__APPLE__)
    const auto& changed = status.st_ctimespec;
#else
    const auto& changed = status.st_ctim;
#endif
    // The status-change time moves on a chmod or a rename too, which the modification time
    // would miss.
    return "file:" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
           std::to_string(status.st_size) + ":" + std::to_string(static_cast<int64_t>(changed.tv_sec)) + "." +
           std::to_string(static_cast<int64_t>(changed.tv_nsec));
}

bool isRunnable(const std::string& path) {
#if defined(__APPLE__)
    // A file that an update is still writing has a broken or incomplete signature.
    if (CodeSignature::check(path) == CodeSignature::Validity::invalid) return false;
#endif
    // Even a complete signed file cannot be started without execute permission.
    return access(path.c_str(), X_OK) == 0;
}

int execute(const std::string& path, const std::vector<std::string>& arguments, const std::string& resume) {
    if (setenv(std::string(MCPResume::environmentKey).c_str(), resume.c_str(), 1) != 0) return errno;
    // Whatever is buffered would be lost with the old image.
    std::fflush(nullptr);
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    std::vector<char*> vector;
    vector.reserve(copies.size() + 1);
    for (auto& argument : copies) vector.push_back(argument.data());
    vector.push_back(nullptr);
    execv(path.c_str(), vector.data());
    int error = errno;
    // The old image goes on serving; the record must not reach a later child of it.
    unsetenv(std::string(MCPResume::environmentKey).c_str());
    return error;
}

}  // namespace AgentMCP::HelperBinary
