#include "console/keys.h"

namespace keys {

namespace {

constexpr Decoded need_more{0, 0, false};

Decoded key(int32_t k, size_t length) { return Decoded{k, static_cast<uint32_t>(length), false}; }
Decoded drop(size_t length) { return Decoded{0, static_cast<uint32_t>(length), false}; }

// "ESC [ n ~" forms, by their first parameter.
int32_t tilde_key(uint32_t n) {
    switch (n) {
        case 1: case 7: return home;
        case 2: return insert;
        case 3: return delete_;
        case 4: case 8: return end;
        case 5: return page_up;
        case 6: return page_down;
        case 11: case 12: case 13: case 14: case 15: return f1 - int32_t(n - 11);  // F1-F5
        case 17: case 18: case 19: case 20: case 21: return f1 - 5 - int32_t(n - 17);  // F6-F10
        case 23: case 24: return f1 - 10 - int32_t(n - 23);  // F11, F12
        default: return 0;
    }
}

// Final letters shared by the CSI and SS3 forms (a modifier parameter does not change the key).
int32_t letter_key(uint8_t final) {
    switch (final) {
        case 'A': return up;
        case 'B': return down;
        case 'C': return right;
        case 'D': return left;
        case 'F': return end;
        case 'H': return home;
        case 'P': return f1;
        case 'Q': return f1 - 1;
        case 'R': return f1 - 2;
        case 'S': return f1 - 3;
        default: return 0;
    }
}

// ESC [ ...: parameter bytes (0x30-0x3F), intermediate bytes (0x20-0x2F), a final byte
// (0x40-0x7E). Any other byte cuts the sequence short: what came before it is dropped and the
// byte is decoded on its own.
Decoded csi(const uint8_t* p, size_t n, bool more) {
    // The Linux console's F1-F5: ESC [ [ A .. E.
    if (n > 2 && p[2] == '[') {
        if (n < 4) return more ? need_more : drop(n);
        return p[3] >= 'A' && p[3] <= 'E' ? key(f1 - (p[3] - 'A'), 4) : drop(4);
    }
    uint32_t params[2] = {0, 0};
    int count = 0;  // parameters seen, counting the one being read
    bool private_marker = false;
    size_t i = 2;
    for (;; i++) {
        if (i >= n) return more && n < kMaxSequence ? need_more : drop(n);
        if (i >= kMaxSequence) return drop(i);
        uint8_t b = p[i];
        if (b >= '0' && b <= '9') {
            if (count == 0) count = 1;
            if (count <= 2 && params[count - 1] < 100000) params[count - 1] = params[count - 1] * 10 + (b - '0');
        } else if (b == ';') {
            count = count == 0 ? 2 : count + 1;
        } else if (b >= 0x3C && b <= 0x3F) {
            private_marker = true;
        } else if (b >= 0x20 && b <= 0x2F) {
            // intermediate bytes name no key this decoder knows; the final byte still ends it
            private_marker = true;
        } else if (b >= 0x40 && b <= 0x7E) {
            break;
        } else {
            return drop(i);
        }
    }
    size_t length = i + 1;
    uint8_t final = p[i];
    if (private_marker) return drop(length);  // mouse reports, replies to queries
    if (final == '~') return key(tilde_key(params[0]), length);
    if (final == 'Z') return Decoded{tab, static_cast<uint32_t>(length), true};
    if (final == 'M' && count == 0) {
        // An X10 mouse report carries three raw bytes after the M.
        if (n < length + 3) return more ? need_more : drop(n);
        return drop(length + 3);
    }
    // Two parameters before R are a cursor position report, not F3.
    if (final == 'R' && count >= 2) return drop(length);
    return key(letter_key(final), length);
}

// ESC O x: the application-mode cursor keys, F1-F4 and the keypad. Some terminals put a
// modifier (digits, ";") before the letter.
Decoded ss3(const uint8_t* p, size_t n, bool more) {
    size_t i = 2;
    for (;; i++) {
        if (i >= n) return more ? need_more : drop(n);
        if (i >= 8) return drop(i);
        if (!((p[i] >= '0' && p[i] <= '9') || p[i] == ';')) break;
    }
    uint8_t final = p[i];
    size_t length = i + 1;
    if (final < 0x40 || final > 0x7E) return drop(i);
    if (final == 'M') return key(enter, length);
    if (final >= 'j' && final <= 'y') return key(static_cast<int32_t>(static_cast<uint8_t>("*+,-./0123456789"[final - 'j'])), length);
    if (final == 'X') return key('=', length);
    return key(letter_key(final), length);
}

// String commands (OSC, DCS, APC, PM, SOS) end with BEL or ESC \; they name no key.
Decoded string_command(const uint8_t* p, size_t n, bool more) {
    for (size_t i = 2; i < n; i++) {
        if (i >= kMaxSequence) return drop(i);
        if (p[i] == 7) return drop(i + 1);
        if (p[i] == 27) {
            if (i + 1 >= n) return more ? need_more : drop(n);
            return drop(p[i + 1] == '\\' ? i + 2 : i);
        }
    }
    return more && n < kMaxSequence ? need_more : drop(n);
}

int utf8_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;  // a continuation byte, an overlong lead or beyond the codepoint range
}

// One UTF-8 character; a bad sequence drops its first byte so that decoding picks up again at
// the next one.
Decoded utf8(const uint8_t* p, size_t n, bool more) {
    int len = utf8_length(p[0]);
    if (len == 0) return drop(1);
    if (len == 1) return key(p[0], 1);
    uint32_t cp = p[0] & (0x7F >> len);
    for (int k = 1; k < len; k++) {
        if (size_t(k) >= n) return more ? need_more : drop(n);
        if ((p[k] & 0xC0) != 0x80) return drop(1);
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    static constexpr uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return drop(1);
    return key(static_cast<int32_t>(cp), size_t(len));
}

}  // namespace

Decoded decode(const uint8_t* p, size_t n, bool more) {
    uint8_t b = p[0];
    if (b == 27) {
        if (n == 1) return more ? need_more : key(escape, 1);
        switch (p[1]) {
            case '[': return csi(p, n, more);
            case 'O': return ss3(p, n, more);
            case ']': case 'P': case '_': case '^': case 'X': return string_command(p, n, more);
            case 27: return key(escape, 1);  // Escape pressed twice: the first one stands alone
            default: {
                // Escape followed at once by Enter, Tab or another control key: two keys.
                if (p[1] < 32) return key(escape, 1);
                // Alt with a key: not a key of the editor. The whole character goes.
                Decoded c = utf8(p + 1, n - 1, more);
                if (c.length == 0) return more ? need_more : drop(n);
                return drop(1 + c.length);
            }
        }
    }
    if (b == 10) return key(enter, 1);
    if (b < 32 || b == 127) return key(b, 1);
    return utf8(p, n, more);
}

}  // namespace keys
