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

int handOverFile(const std::string& bytes) {
#if defined(__APPLE__)
    (void)bytes;
    return -ENOTSUP;
#else
    // No MFD_CLOEXEC: the new image must inherit it.
    int fd = ::memfd_create("bosken-mcp-resume", MFD_ALLOW_SEALING);
    if (fd < 0) return -errno;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            ::close(fd);
            return -error;
        }
        done += static_cast<size_t>(n);
    }
    // Sealed, so the new image can tell it from any other inherited descriptor.
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
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
    struct stat status;
    std::optional<std::string> bytes;
    if (::fstat(fd, &status) == 0 && status.st_size >= 0 && static_cast<size_t>(status.st_size) <= limit) {
        std::string text(static_cast<size_t>(status.st_size), '\0');
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (done == text.size()) bytes = std::move(text);
    }
    ::close(fd);
    return bytes;
#endif
}

int execute(const std::string& path, const std::vector<std::string>& arguments, const std::string& resume) {
    std::string value = resume;
    int carrier = -1;
#if !defined(__APPLE__)
    if (resume.size() > MCPResume::maxEnvironmentBytes) {
        carrier = handOverFile(resume);
        if (carrier < 0) return -carrier;
        value = std::string(MCPResume::descriptorPrefix) + std::to_string(carrier);
    }
#endif
    if (setenv(std::string(MCPResume::environmentKey).c_str(), value.c_str(), 1) != 0) {
        int error = errno;
        if (carrier >= 0) ::close(carrier);
        return error;
    }
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
    if (carrier >= 0) ::close(carrier);
    return error;
}

}  // namespace AgentMCP::HelperBinary
