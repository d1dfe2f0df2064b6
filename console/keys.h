// Keys from the bytes a terminal sends: UTF-8 characters, control characters and the escape
// sequences of special keys (CSI "ESC [", SS3 "ESC O" and the "~" forms), decoded to the key codes
// that the line editor and the terminal GUI share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keys {

// Characters are their codepoints; special keys are negative.
constexpr int32_t up = -20;
constexpr int32_t down = -21;
constexpr int32_t right = -22;
constexpr int32_t left = -23;
constexpr int32_t end = -24;
constexpr int32_t home = -25;
constexpr int32_t insert = -26;
constexpr int32_t delete_ = -27;
constexpr int32_t page_up = -28;
constexpr int32_t page_down = -29;
constexpr int32_t f1 = -31;  // F1 .. F12 are -31 .. -42
constexpr int32_t f12 = -42;
constexpr int32_t escape = 27;
constexpr int32_t tab = 9;
constexpr int32_t enter = 13;

// Bytes a key takes at most before the decoder gives up on it. Longer escape sequences (string
// commands, malformed input) are dropped without a key, so no input can grow the buffer a reader
// keeps.
constexpr size_t kMaxSequence = 64;

struct Decoded {
    int32_t key;      // 0 when the bytes make no key (an unknown sequence, a bad byte): drop them
    uint32_t length;  // bytes taken; 0 when more bytes are needed to decide
    bool shift;       // back-tab (ESC [ Z) gives Tab with shift
};

// Decodes the key at the start of p[0 .. n). With more_may_follow false (the terminal has sent
// nothing more for a while), a lone ESC is the Escape key and a cut sequence is dropped, so the
// result always takes at least one byte. n must be at least 1.
// Carriage return and line feed both give Enter (13); DEL and Backspace stay 127 and 8.
Decoded decode(const uint8_t* p, size_t n, bool more_may_follow);

}  // namespace keys
