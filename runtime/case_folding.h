// Case folding of codepoints.
#pragma once

#include <cstdint>

namespace case_folding {
// The upper-case (upper = true) or lower-case form of a codepoint; a codepoint without a
// mapping is returned unchanged.
uint32_t change(uint32_t cp, bool upper);
}  // namespace case_folding
