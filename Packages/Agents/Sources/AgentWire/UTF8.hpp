#pragma once

#include <string>
#include <string_view>

namespace AgentWire::UTF8 {

// Length of the well-formed UTF-8 sequence starting at text[i] (1 for ASCII), or 0 when it is
// malformed: truncated, overlong, a surrogate or beyond U+10FFFF. `scalar` receives its value.
size_t sequenceLength(std::string_view text, size_t i, char32_t* scalar = nullptr);

// Whether every byte of `text` belongs to a well-formed sequence.
bool isValid(std::string_view text);

// Appends the UTF-8 form of `scalar` (at most U+10FFFF).
void append(std::string& out, char32_t scalar);

}  // namespace AgentWire::UTF8
