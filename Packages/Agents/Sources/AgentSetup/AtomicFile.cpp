#include "AgentSetup/AtomicFile.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <stdio.h>
#else
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <system_error>

#include "AgentWire/POSIX.hpp"

namespace AgentSetup::AtomicFile {

namespace {

std::string errorText(int negatedErrno) { return std::strerror(negatedErrno < 0 ? -negatedErrno : negatedErrno); }

// The injected write as write(2) behaves, so the one write loop drives it.
AgentWire::POSIX::WriteFunction writeCall(const System& system) {
    return [&system](int fd, const char* bytes, size_t count) -> ssize_t {
        long put = system.write(fd, bytes, count);
        if (put >= 0) return put;
        errno = static_cast<int>(-put);
        return -1;
    };
}

// Why AgentWire::POSIX::writeAll stopped short.
std::string writeFailure(int result) {
    return result == AgentWire::POSIX::stopped ? "nothing more could be written" : errorText(result);
}

std::deque<std::string> components(const std::string& path) {
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

void removeLastComponent(std::string& path) {
    size_t slash = path.rfind('/');
    path.erase(slash == 0 ? 1 : slash);
}

void appendComponent(std::string& path, const std::string& name) {
    if (path.back() != '/') path.push_back('/');
    path += name;
}

// Follows every link in the existing part of the path, a dangling final link included, and
// appends the rest as written: a link into a dotfiles folder whose file doesn't exist yet
// still gets the file created at the far end, and the link itself survives.
std::optional<std::string> resolveLinks(const std::string& given) {
    std::string path = given;
    if (path.empty() || path[0] != '/') {
        std::error_code error;
        auto cwd = std::filesystem::current_path(error);
        if (error) return std::nullopt;
        path = cwd.string() + "/" + path;
    }
    std::deque<std::string> pending = components(path);
    std::string resolved = "/";
    int hops = 0;
    bool missing = false;  // once a component is missing, the rest is taken as written
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            removeLastComponent(resolved);
            continue;
        }
        std::string candidate = resolved;
        appendComponent(candidate, name);
        bool isLink = false;
        if (!missing) {
            struct stat info {};
            if (::lstat(candidate.c_str(), &info) != 0) missing = true;
            else isLink = S_ISLNK(info.st_mode);
        }
        if (!isLink) {
            resolved = std::move(candidate);
            continue;
        }
        if (++hops > 40) return std::nullopt;
        char target[PATH_MAX];
        ssize_t length = ::readlink(candidate.c_str(), target, sizeof target);
        if (length < 0 || static_cast<size_t>(length) >= sizeof target) return std::nullopt;
        std::string link(target, static_cast<size_t>(length));
        if (!link.empty() && link[0] == '/') resolved = "/";
        auto linked = components(link);
        pending.insert(pending.begin(), linked.begin(), linked.end());
    }
    return resolved;
}

std::string stamp(std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::tzset();  // localtime_r need not look at TZ itself
    ::localtime_r(&seconds, &local);
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return std::string(text, length);
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The hidden name a file is written under beside `directory` before it takes its place: the
// new file, and before it the backup copy, one after the other.
std::string temporaryPath(std::string directory, const std::string& name, long processID) {
    appendComponent(directory, "." + name + ".bosken-" + std::to_string(processID));
    return directory;
}

// The process identifier in a temporary file name of `name`, or none when it isn't one.
std::optional<long> temporaryOwner(const std::string& entry, const std::string& name) {
    const std::string prefix = "." + name + ".bosken-";
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    std::string digits = entry.substr(prefix.size());
    // Identifiers fit in nine digits on both platforms; more is some other file.
    if (digits.size() > 9 || digits[0] == '0') return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    return std::stol(digits);
}

// The names a backup at `destination` may take, in order: itself, then "-2", "-3", … added to its
// unnumbered form (so "…-2" goes on with "-3", never "-2-2").
class BackupNames {
public:
    explicit BackupNames(const std::string& destination) : base_(destination) {
        size_t marker = destination.rfind(".bosken-backup-");
        size_t numberAt = marker == std::string::npos ? std::string::npos : marker + 15 + 15;  // marker, stamp
        if (numberAt < destination.size() && destination[numberAt] == '-' && destination.size() - numberAt <= 6) {
            std::string digits = destination.substr(numberAt + 1);
            bool numeric = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
            if (numeric) {
                base_ = destination.substr(0, numberAt);
                next_ = std::stoi(digits) + 1;
            }
        }
        current_ = destination;
    }
    const std::string& current() const { return current_; }
    void advance() { current_ = base_ + "-" + std::to_string(next_++); }

private:
    std::string base_, current_;
    int next_ = 2;
};

// Flushes `fd` to the disk itself: on macOS fsync only hands the data to the drive, which may
// keep it in its cache past a power cut, leaving a renamed but empty file.
int flushToDisk(int fd) {
#if defined(__APPLE__)
    // Some file systems (network shares) do not support it; fsync is the best they offer.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : -errno;
}

template <typename Call>
auto retryingEINTR(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0) return result;
        if (errno != EINTR) return static_cast<decltype(result)>(-errno);
    }
}

}  // namespace

System System::live() {
    System s;
    s.resolve = resolveLinks;
    s.exists = [](const std::string& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0;
    };
    s.permissions = [](const std::string& path) -> std::optional<unsigned> {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return std::nullopt;
        return static_cast<unsigned>(info.st_mode & 07777);
    };
    s.fileSize = [](const std::string& path) -> std::optional<unsigned long long> {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return std::nullopt;
        return static_cast<unsigned long long>(info.st_size);
    };
    s.makeDirectories = [](const std::string& path) {
        std::error_code error;
        std::filesystem::create_directories(path, error);
        return error ? -error.value() : 0;
    };
    // Non-blocking, so a FIFO planted at the path fails the read instead of hanging the copy.
    s.openForReading = [](const std::string& path) {
        return retryingEINTR([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
    };
    s.createNew = [](const std::string& path, unsigned mode) {
        return retryingEINTR([&] {
            return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
        });
    };
    s.read = [](int fd, char* buffer, unsigned long count) -> long {
        ssize_t n = ::read(fd, buffer, count);
        return n >= 0 ? static_cast<long>(n) : -errno;
    };
    s.write = [](int fd, const char* bytes, unsigned long count) -> long {
        ssize_t n = ::write(fd, bytes, count);
        return n >= 0 ? static_cast<long>(n) : -errno;
    };
    s.fsync = flushToDisk;
    s.close = [](int fd) { ::close(fd); };
    s.rename = [](const std::string& from, const std::string& to) {
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : -errno;
    };
    s.renameNoReplace = [](const std::string& from, const std::string& to) {
#if defined(__APPLE__)
        if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return 0;
        if (errno != ENOTSUP && errno != EINVAL) return -errno;
#elif defined(SYS_renameat2)
        // Through the system call: older C libraries have no wrapper for it.
        constexpr unsigned noReplace = 1;  // RENAME_NOREPLACE
        if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), noReplace) == 0) return 0;
        if (errno != ENOSYS && errno != EINVAL) return -errno;
#endif
        // A file system without an exclusive rename: a new link fails on an existing name too.
        if (::link(from.c_str(), to.c_str()) != 0) return -errno;
        ::unlink(from.c_str());
        return 0;
    };
    s.unlink = [](const std::string& path) { ::unlink(path.c_str()); };
    s.list = [](const std::string& directory) {
        std::vector<std::string> names;
        std::error_code error;
        for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
            names.push_back(it->path().filename().string());
        return names;
    };
    s.isOwnRegularFile = [](const std::string& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
    };
    s.processExists = [](long processID) {
        return ::kill(static_cast<pid_t>(processID), 0) == 0 || errno == EPERM;
    };
    s.processID = [] { return static_cast<long>(::getpid()); };
    s.localStamp = stamp;
    return s;
}

std::string backupURL(const std::string& path, std::chrono::system_clock::time_point now) {
    return backupURL(path, now, System::live());
}

std::string backupURL(const std::string& path, std::chrono::system_clock::time_point now, const System& system) {
    // Naming never fails: an unresolvable path keeps its own directory.
    std::string resolved = system.resolve(path).value_or(path);
    std::string base = directoryOf(resolved);
    appendComponent(base, nameOf(resolved) + ".bosken-backup-" + system.localStamp(now));
    std::string candidate = base;
    for (int n = 2; system.exists(candidate); ++n) candidate = base + "-" + std::to_string(n);
    return candidate;
}

std::variant<std::string, Failure> copy(const std::string& source, const std::string& destination) {
    return copy(source, destination, System::live());
}

std::variant<std::string, Failure> copy(const std::string& source, const std::string& destination,
                                        const System& system) {
    auto resolved = system.resolve(source);
    if (!resolved) return Failure{"couldn't read " + source + ": " + errorText(ELOOP)};

    int in = system.openForReading(*resolved);
    if (in < 0) return Failure{"couldn't read " + source + ": " + errorText(in)};
    // The backup may hold the same secrets as the file, so it is no more readable than it.
    unsigned mode = system.permissions(*resolved).value_or(0600) & 0777;
    // Copied under a hidden name first: killed half-way, a run leaves a temporary file that the
    // next run removes, never a partial file under a backup's name.
    const std::string temporary = temporaryPath(directoryOf(destination), nameOf(*resolved), system.processID());
    system.unlink(temporary);  // a stale file of an earlier run, or a link planted there
    int out = system.createNew(temporary, mode);
    if (out < 0) {
        system.close(in);
        return Failure{"couldn't create " + destination + ": " + errorText(out)};
    }

    std::optional<Failure> failure;
    char buffer[1 << 16];
    for (;;) {
        long got = system.read(in, buffer, sizeof buffer);
        if (got == -EINTR) continue;
        if (got < 0) {
            failure = Failure{"couldn't read " + source + ": " + errorText(static_cast<int>(got))};
            break;
        }
        if (got == 0) break;
        if (int put = AgentWire::POSIX::writeAll(out, std::string_view(buffer, static_cast<size_t>(got)), writeCall(system));
            put != 0) {
            failure = Failure{"couldn't write " + destination + ": " + writeFailure(put)};
            break;
        }
    }
    // Flushed like the new file, so the backup is whole on disk before it gets its name.
    if (!failure) {
        if (int synced = system.fsync(out); synced < 0)
            failure = Failure{"couldn't write " + destination + ": " + errorText(synced)};
    }
    system.close(out);
    system.close(in);
    if (!failure) {
        auto sourceSize = system.fileSize(*resolved);
        auto copySize = system.fileSize(temporary);
        if (!sourceSize || !copySize || *sourceSize != *copySize)
            failure = Failure{"the copy at " + destination + " isn't the same size as the original"};
    }
    if (failure) {
        system.unlink(temporary);
        return *failure;
    }

    // Never over an existing file: a name taken since it was chosen moves the backup to the next.
    BackupNames names(destination);
    for (int attempt = 0; attempt < 1000; ++attempt, names.advance()) {
        int moved = system.renameNoReplace(temporary, names.current());
        if (moved == 0) return names.current();
        if (moved != -EEXIST) {
            system.unlink(temporary);
            return Failure{"couldn't create " + names.current() + ": " + errorText(moved)};
        }
    }
    system.unlink(temporary);
    return Failure{"couldn't create " + destination + ": " + errorText(EEXIST)};
}

std::optional<Failure> write(const std::string& bytes, const std::string& path) {
    return write(bytes, path, System::live());
}

std::optional<Failure> write(const std::string& bytes, const std::string& path, const System& system) {
    auto resolved = system.resolve(path);
    if (!resolved) return Failure{errorText(ELOOP)};
    std::string dir = directoryOf(*resolved);
    if (int made = system.makeDirectories(dir); made < 0)
        return Failure{"couldn't create the folder " + dir + ": " + errorText(made)};

    // Only the permission bits carry over: never set-id or sticky bits onto a rewritten file.
    unsigned mode = system.permissions(*resolved).value_or(0600) & 0777;
    const std::string temporary = temporaryPath(dir, nameOf(*resolved), system.processID());
    // A stale file of an earlier run, or a link planted there: removed, never followed.
    system.unlink(temporary);
    int fd = system.createNew(temporary, mode);
    if (fd < 0) return Failure{errorText(fd)};

    // The error is kept from the call that failed; later calls may change errno.
    std::optional<Failure> failure;
    if (int put = AgentWire::POSIX::writeAll(fd, bytes, writeCall(system)); put != 0) failure = Failure{writeFailure(put)};
    int synced = system.fsync(fd);
    system.close(fd);
    if (!failure && synced < 0) failure = Failure{errorText(synced)};
    if (failure) {
        system.unlink(temporary);
        return failure;
    }
    if (int renamed = system.rename(temporary, *resolved); renamed < 0) {
        system.unlink(temporary);
        return Failure{errorText(renamed)};
    }
    return std::nullopt;
}

void removeStaleTemporaries(const std::string& path) { removeStaleTemporaries(path, System::live()); }

void removeStaleTemporaries(const std::string& path, const System& system) {
    auto resolved = system.resolve(path);
    if (!resolved) return;
    const std::string dir = directoryOf(*resolved), name = nameOf(*resolved);
    const long own = system.processID();
    for (const auto& entry : system.list(dir)) {
        auto owner = temporaryOwner(entry, name);
        if (!owner || *owner == own || system.processExists(*owner)) continue;
        std::string candidate = dir;
        appendComponent(candidate, entry);
        if (system.isOwnRegularFile(candidate)) system.unlink(candidate);
    }
}

}  // namespace AgentSetup::AtomicFile
