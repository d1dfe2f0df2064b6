// A weak stand-in for the case-folding module, which other work provides: the real definition,
// once linked, takes precedence. It covers ASCII, Latin-1, the Cyrillic basic block and the
// Deseret letters (a pair above the basic plane), the real mappings of those ranges.
#pragma once

#include <cstdint>

#include "runtime/case_folding.h"

namespace case_folding {
__attribute__((weak)) uint32_t change(uint32_t cp, bool upper) {
    auto is_lower = [](uint32_t c) {
        return (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x430 && c <= 0x44F) ||
               (c >= 0x10428 && c <= 0x1044F);
    };
    auto is_upper = [](uint32_t c) {
        return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x410 && c <= 0x42F) ||
               (c >= 0x10400 && c <= 0x10427);
    };
    uint32_t delta = cp >= 0x10400 ? 0x28 : 0x20;
    if (upper && is_lower(cp)) return cp - delta;
    if (!upper && is_upper(cp)) return cp + delta;
    return cp;
}
}  // namespace case_folding
