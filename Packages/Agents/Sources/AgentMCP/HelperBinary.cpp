#include "AgentMCP/HelperBinary.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(__APPLE__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "AgentMCP/CodeSignature.hpp"
#include "AgentMCP/MCPResume.hpp"
#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/POSIX.hpp"

namespace AgentMCP::HelperBinary {

std::optional<std::string> identity(const std::string& path) {
#if defined(__APPLE__)
    // A signed file is known by its code, so an identical re-signed copy is not a change.
    if (auto hash = CodeSignature::codeDirectoryHash(path)) return hash;
#endif
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
    timespec changed = AgentWire::POSIX::statusChangeTime(status);
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

int handOverFile(const std::string& bytes) {
#if defined(__APPLE__)
    (void)bytes;
    return -ENOTSUP;
#else
    // No MFD_CLOEXEC: the new image must inherit it.
    AgentWire::FileDescriptor fd(::memfd_create("bosken-mcp-resume", MFD_ALLOW_SEALING));
    if (!fd) return -errno;
    if (int error = AgentWire::POSIX::writeAll(fd.get(), bytes); error != 0)
        return -(error == AgentWire::POSIX::stopped ? EIO : error);
    // Sealed, so the new image can tell it from any other inherited descriptor.
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) return -errno;
    return fd.release();
#endif
}

std::optional<std::string> takeHandOverFile(int fd, size_t limit) {
#if defined(__APPLE__)
    (void)fd;
    (void)limit;
    return std::nullopt;
#else
    int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & F_SEAL_WRITE) == 0) return std::nullopt;
    AgentWire::FileDescriptor owned(fd);
    auto file = AgentWire::POSIX::readFile(fd, limit);
    if (auto* contents = std::get_if<AgentWire::POSIX::FileContents>(&file)) return std::move(contents->bytes);
    return std::nullopt;
#endif
}

int execute(const std::string& path, const std::vector<std::string>& arguments, const std::string& resume) {
    std::string value = resume;
    AgentWire::FileDescriptor carrier;
#if !defined(__APPLE__)
    if (resume.size() > MCPResume::maxEnvironmentBytes) {
        int fd = handOverFile(resume);
        if (fd < 0) return -fd;
        carrier.reset(fd);
        value = std::string(MCPResume::descriptorPrefix) + std::to_string(fd);
    }
#endif
    if (setenv(std::string(MCPResume::environmentKey).c_str(), value.c_str(), 1) != 0) return errno;
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
