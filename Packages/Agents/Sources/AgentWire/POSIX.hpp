#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace AgentWire {

// The few operating-system services every part of the helper needs, each written once.
namespace POSIX {

// One write attempt like write(2): the count written, or -1 with errno set.
using WriteFunction = std::function<ssize_t(int fd, const char* bytes, size_t count)>;

// What writeAll gives besides 0 (all written) and an errno: a write wrote nothing, or
// `mayGoOn` said to stop with bytes left.
inline constexpr int stopped = -1;

// Writes all of `bytes` to `fd` with `write` (write(2) when empty), again after EINTR and
// after each partial write while `mayGoOn` (asked only then; always when empty) allows.
// 0 when every byte was written, the errno of the write that failed, or `stopped`.
int writeAll(int fd, std::string_view bytes, const WriteFunction& write = {}, const std::function<bool()>& mayGoOn = {});

// HOME when it is set and not empty, else the user database's home directory of this user;
// nothing when neither gives one.
std::optional<std::string> homeDirectory(const std::map<std::string, std::string>& environment);

// The path of this process's executable as the kernel reports it (links not resolved);
// nothing when it can't be told or isn't UTF-8.
std::optional<std::string> executablePath();

// A regular file read whole, with its status at the time it was opened.
struct FileContents {
    std::string bytes;
    struct stat status;
};

// Why a file could not be read: `error` is the errno of the call that failed (ENOMEM when
// memory ran out), 0 for `notRegular` and `tooLarge`.
struct ReadFailure {
    enum class Kind { open, notRegular, tooLarge, read };
    Kind kind;
    int error = 0;
    friend bool operator==(const ReadFailure&, const ReadFailure&) = default;
};

// Reads the regular file at `path` whole (links followed); over `limit` bytes is `tooLarge`,
// even when it grows while read. Anything else at the path (a folder, a FIFO) is `notRegular`
// and never waited on.
std::variant<FileContents, ReadFailure> readFile(const std::string& path, size_t limit);
// The same from the start of the open `fd`, which is left open and its offset unchanged.
std::variant<FileContents, ReadFailure> readFile(int fd, size_t limit);

// Milliseconds left until `deadline` for poll(2): 0 when it has passed, rounded up so a wait
// never ends early, at most INT_MAX.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline);

// The status-change time of `status` (it moves on a chmod or a rename, which the
// modification time misses).
timespec statusChangeTime(const struct stat& status);

}  // namespace POSIX

}  // namespace AgentWire
