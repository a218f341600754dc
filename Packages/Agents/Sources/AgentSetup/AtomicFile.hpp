#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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
    // Moves `from` to `to` only while nothing is at `to`; 0, -EEXIST when taken, or -errno.
    std::function<int(const std::string& from, const std::string& to)> renameNoReplace;
    std::function<void(const std::string& path)> unlink;
    // The names in a folder (none when it can't be listed).
    std::function<std::vector<std::string>(const std::string& directory)> list;
    // Whether the item itself (links not followed) is a regular file owned by this user.
    std::function<bool(const std::string& path)> isOwnRegularFile;
    // Whether a process with this identifier exists (of any user).
    std::function<bool(long processID)> processExists;
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

// Copies the real file behind `source` to a backup at `destination`, or at the next free "-2",
// "-3", … name when that is taken by then; the backup's path. The copy is made under a hidden
// temporary name, checked for size, flushed to disk, and only then moved to a backup name that
// it never replaces, so a backup name never holds a partial copy, even after a crash.
[[nodiscard]] std::variant<std::string, Failure> copy(const std::string& source, const std::string& destination);
[[nodiscard]] std::variant<std::string, Failure> copy(const std::string& source, const std::string& destination,
                                                      const System& system);

// Replaces the real file behind `path` with `bytes` in one step (a fresh temporary file beside
// it, fsync, rename), keeping its permission bits (0600 for a new file) and creating missing
// directories. On failure the file is untouched and no temporary file remains.
[[nodiscard]] std::optional<Failure> write(const std::string& bytes, const std::string& path);
[[nodiscard]] std::optional<Failure> write(const std::string& bytes, const std::string& path, const System& system);

// Removes the hidden temporary files (".<name>.bosken-<pid>") that runs killed before their
// rename left beside the real file behind `path`: only regular files of this user whose process
// is gone. Links, folders and other names are left alone.
void removeStaleTemporaries(const std::string& path);
void removeStaleTemporaries(const std::string& path, const System& system);

}  // namespace AtomicFile

}  // namespace AgentSetup
