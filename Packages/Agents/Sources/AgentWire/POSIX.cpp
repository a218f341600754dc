#include "AgentWire/POSIX.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <stdexcept>
#include <vector>

#include "AgentWire/FileDescriptor.hpp"
#include "AgentWire/UTF8.hpp"

#if defined(__APPLE__)
#include <libproc.h>
#endif

namespace AgentWire::POSIX {

int writeAll(int fd, std::string_view bytes, const WriteFunction& write, const std::function<bool()>& mayGoOn) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write ? write(fd, bytes.data() + done, bytes.size() - done)
                          : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return stopped;
        done += static_cast<size_t>(n);
        if (done < bytes.size() && mayGoOn && !mayGoOn()) return stopped;
    }
    return 0;
}

std::optional<std::string> homeDirectory(const std::map<std::string, std::string>& environment) {
    // An empty HOME counts as unset, like an empty CODEX_HOME or CLAUDE_CONFIG_DIR.
    if (auto home = environment.find("HOME"); home != environment.end() && !home->second.empty()) return home->second;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int result;
    while ((result = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (result == 0 && found && found->pw_dir && found->pw_dir[0] != '\0') return std::string(found->pw_dir);
    return std::nullopt;
}

std::optional<std::string> executablePath() {
    char buffer[PATH_MAX + 1];
#if defined(__APPLE__)
    int length = ::proc_pidpath(::getpid(), buffer, sizeof buffer);
#else
    // The kernel's link to the running image; readlink does not terminate it, and a full
    // buffer may hold a cut path.
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
#endif
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
    std::string path(buffer, static_cast<size_t>(length));
    // It is written into JSON (config files, the hand-over record), which holds UTF-8 only.
    if (!UTF8::isValid(path)) return std::nullopt;
    return path;
}

std::variant<FileContents, ReadFailure> readFile(const std::string& path, size_t limit) {
    // Non-blocking, so a FIFO planted at the path can't hang the run.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ReadFailure{ReadFailure::Kind::open, errno};
    FileDescriptor owned(fd);
    return readFile(fd, limit);
}

std::variant<FileContents, ReadFailure> readFile(int fd, size_t limit) {
    using Kind = ReadFailure::Kind;
    FileContents file{};
    if (::fstat(fd, &file.status) != 0) return ReadFailure{Kind::open, errno};
    if (!S_ISREG(file.status.st_mode)) return ReadFailure{Kind::notRegular};
    if (file.status.st_size < 0 || static_cast<unsigned long long>(file.status.st_size) > limit)
        return ReadFailure{Kind::tooLarge};
    try {
        // The size is a hint only: the file may grow or shrink while it is read. One byte
        // more, so the end is seen without growing the buffer.
        file.bytes.resize(static_cast<size_t>(file.status.st_size) + 1);
        size_t used = 0;
        for (;;) {
            if (used == file.bytes.size()) {
                if (used > limit) return ReadFailure{Kind::tooLarge};
                file.bytes.resize(used > limit / 2 ? limit + 1 : used * 2);
            }
            ssize_t n = ::pread(fd, file.bytes.data() + used, file.bytes.size() - used, static_cast<off_t>(used));
            if (n > 0) {
                used += static_cast<size_t>(n);
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                return ReadFailure{Kind::read, errno};
            }
        }
        if (used > limit) return ReadFailure{Kind::tooLarge};
        // No shrink_to_fit: copying a large file once more would double its memory.
        file.bytes.resize(used);
    } catch (const std::bad_alloc&) {
        return ReadFailure{Kind::read, ENOMEM};
    } catch (const std::length_error&) {
        return ReadFailure{Kind::read, ENOMEM};
    }
    return file;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

timespec statusChangeTime(const struct stat& status) {
#if defined(__APPLE__)
    return status.st_ctimespec;
#else
    return status.st_ctim;
#endif
}

}  // namespace AgentWire::POSIX
