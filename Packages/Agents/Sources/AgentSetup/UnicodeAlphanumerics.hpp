#pragma once

#include <cstdint>

namespace AgentSetup::UnicodeAlphanumerics {

// True for a letter, mark or number of any script (general categories L*, M*, N*).
bool contains(char32_t scalar);

}  // namespace AgentSetup::UnicodeAlphanumerics
