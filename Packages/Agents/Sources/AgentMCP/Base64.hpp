#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace AgentMCP {

// Standard Base64 (alphabet with "+" and "/", "=" padding, no line breaks) for carrying
// arbitrary bytes inside a JSON text.
namespace Base64 {

// The Base64 text of `bytes`; empty for empty bytes.
std::string encoded(std::string_view bytes);

// The bytes of a strict Base64 text, or nothing when the text has a character outside the
// alphabet (whitespace included), a length that is not a multiple of four, misplaced or
// excess padding, or non-zero bits in the padded tail (so every text has one decoding and
// one encoding).
std::optional<std::string> decoded(std::string_view text);

}  // namespace Base64

}  // namespace AgentMCP
