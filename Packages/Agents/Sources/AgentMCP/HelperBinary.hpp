#pragma once

#include <optional>
#include <string>
#include <vector>

namespace AgentMCP {

// The helper's contact with its own executable file: where it is, whether it was replaced,
// whether a replacement can be started, and moving to it in the same process.
namespace HelperBinary {

// The path of this process's executable as the kernel reports it (no links resolved), or
// nothing when it cannot be found or is not UTF-8.
std::optional<std::string> ownPath();

// A text that changes whenever the file at `path` is replaced: "cdhash:<hex>" for a signed
// file (macOS), else "file:<dev>:<inode>:<size>:<ctime s>.<ctime ns>"; nothing when the
// file cannot be examined. Compare only for equality.
std::optional<std::string> identity(const std::string& path);

// True when the file at `path` may be started: execute permission for the current user, and
// on macOS a signature that is intact or absent.
bool isRunnable(const std::string& path);

// Replaces the process with `path`, run with `arguments` (arguments[0] is the program name)
// and "BOSKEN_MCP_RESUME" set to `resume`. Returns only on failure, with the errno of the
// failed call; the environment is then as it was before.
int execute(const std::string& path, const std::vector<std::string>& arguments, const std::string& resume);

}  // namespace HelperBinary

}  // namespace AgentMCP
