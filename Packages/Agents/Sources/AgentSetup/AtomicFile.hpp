#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace AgentSetup {

// The one place where registration touches an agent app's configuration file on disk: dated
// backups beside it and atomic replacement. Every operation works on the real file behind any
// symbolic links, so a link into a folder of dotfiles stays a link.
namespace AtomicFile {

// Why an operation failed: a lower-case clause without a final full stop.
struct Failure {
    std::string reason;
    friend bool operator==(const Failure&, const Failure&) = default;
};

// The platform operations the decisions below depend on. Operations that can fail return a
// non-negative result on success and the negated error number (-errno) on failure.
struct System {
    // The path with every symbolic link resolved (a dangling final link resolves to the path it
    // names); none when resolution fails (a loop).
    std::function<std::optional<std::string>(const std::string& path)> resolve;
    // Whether any item, a dangling symbolic link included, exists at the path.
    std::function<bool(const std::string& path)> exists;
    // The permission bits of the item (links followed), or none when it cannot be looked up.
    std::function<std::optional<unsigned>(const std::string& path)> permissions;
    // Size in bytes of the item (links followed), or none.
    std::function<std::optional<unsigned long long>(const std::string& path)> fileSize;
    // Creates the directory and its missing parents; 0 or -errno.
    std::function<int(const std::string& path)> makeDirectories;
    // Opens an existing file for reading; a descriptor or -errno.
    std::function<int(const std::string& path)> openForReading;
    // Creates a new file for writing, never following or reusing an existing item
    // (O_CREAT | O_EXCL | O_NOFOLLOW); a descriptor or -errno.
    std::function<int(const std::string& path, unsigned mode)> createNew;
    // One read / write call: a count or -errno.
    std::function<long(int fd, char* buffer, unsigned long count)> read;
    std::function<long(int fd, const char* bytes, unsigned long count)> write;
    // 0 or -errno.
    std::function<int(int fd)> fsync;
    std::function<void(int fd)> close;
    // 0 or -errno.
    std::function<int(const std::string& from, const std::string& to)> rename;
    std::function<void(const std::string& path)> unlink;
    std::function<long()> processID;
    // The time stamp "yyyyMMdd-HHmmss" of `now` in the process's local time zone.
    std::function<std::string(std::chrono::system_clock::time_point now)> localStamp;

    // The real operating system.
    static System live();
};

// The location for a new backup of `path`: beside the resolved file, named
// "<name>.bosken-backup-<yyyyMMdd-HHmmss>", then "-2", "-3", … appended while a candidate is
// taken. Creates nothing.
std::string backupURL(const std::string& path, std::chrono::system_clock::time_point now);
std::string backupURL(const std::string& path, std::chrono::system_clock::time_point now, const System& system);

// Copies the real file behind `source` to the new file `destination` (never overwriting an
// existing item) and checks that both have the same size; a bad copy is removed.
[[nodiscard]] std::optional<Failure> copy(const std::string& source, const std::string& destination);
[[nodiscard]] std::optional<Failure> copy(const std::string& source, const std::string& destination,
                                          const System& system);

// Replaces the real file behind `path` with `bytes` in one step (a fresh temporary file beside
// it, fsync, rename), keeping its permission bits (0600 for a new file) and creating missing
// directories. On failure the file is untouched and no temporary file remains.
[[nodiscard]] std::optional<Failure> write(const std::string& bytes, const std::string& path);
[[nodiscard]] std::optional<Failure> write(const std::string& bytes, const std::string& path, const System& system);

}  // namespace AtomicFile

}  // namespace AgentSetup
