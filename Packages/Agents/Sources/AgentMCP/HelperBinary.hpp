#pragma once

#include <optional>
#include <string>
#include <vector>

namespace AgentMCP {

// The helper's contact with its own executable file: where it is, whether it was replaced,
// whether a replacement can be started, and moving to it in the same process.
namespace HelperBinary {

// A text that changes whenever the file at `path` is replaced: "cdhash:<hex>" for a signed
// file (macOS), else "file:<dev>:<inode>:<size>:<ctime s>.<ctime ns>"; nothing when the
// file cannot be examined. Compare only for equality.
std::optional<std::string> identity(const std::string& path);

// True when the file at `path` may be started: execute permission for the current user, and
// on macOS a signature that is intact or absent.
bool isRunnable(const std::string& path);

// Replaces the process with `path`, run with `arguments` (arguments[0] is the program name)
// and "BOSKEN_MCP_RESUME" set to `resume` (on Linux, a `resume` over 120 KiB in a memory file
// that the variable names). Returns only on failure, with the errno of the failed call; the
// environment and the open descriptors are then as they were before.
int execute(const std::string& path, const std::vector<std::string>& arguments, const std::string& resume);

// A sealed memory file holding `bytes`, left open across exec: its descriptor, or -errno
// (-ENOTSUP where there are no memory files: macOS, which needs none).
int handOverFile(const std::string& bytes);

// The contents of a file made by handOverFile, which is then closed; nothing when it is larger
// than `limit` or `fd` isn't such a file (which is then left alone).
std::optional<std::string> takeHandOverFile(int fd, size_t limit);

}  // namespace HelperBinary

}  // namespace AgentMCP
