#pragma once

#include <optional>
#include <string>

namespace AgentMCP {

// What macOS's code signing says about an executable file. The only place that uses Apple's
// frameworks, so that everything else builds from the C and C++ headers alone. Elsewhere no
// file counts as signed.
namespace CodeSignature {

// The code-directory hash of the signed file at `path` as "cdhash:<lowercase hex>", or
// nothing when it is unsigned or cannot be examined.
std::optional<std::string> codeDirectoryHash(const std::string& path);

enum class Validity { valid, notSigned, invalid };

// Whether the signature of the file at `path` is complete and intact; a file that cannot be
// examined is `invalid`.
Validity check(const std::string& path);

}  // namespace CodeSignature

}  // namespace AgentMCP
