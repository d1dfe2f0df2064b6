#include "datatypes/url.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace url {

bool plain_q(uint32_t c) {
    if (c >= 128) return false;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '?': case '@': case '_': case '~': return true;
        default: return false;
    }
}

static int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte of a "%" triplet at p, or -1.
static int triplet(const uint8_t* p, const uint8_t* end) {
    if (end - p < 3 || p[0] != '%') return -1;
    int h = hex_value(p[1]), l = hex_value(p[2]);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

static int lead_size(int b) {
    if ((b & 0xF0) == 0xF0) return 4;
    if ((b & 0xE0) == 0xE0) return 3;
    if ((b & 0xC0) == 0xC0) return 2;
    return 0;
}

// One UTF-8 character of n bytes; -1 when they do not form one.
static int32_t decode_sequence(const uint8_t* b, int n) {
    static const uint32_t lead_mask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    static const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t cp = b[0] & lead_mask[n];
    for (int k = 1; k < n; k++) {
        if ((b[k] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b[k] & 0x3F);
    }
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return static_cast<int32_t>(cp);
}

void decode(const uint8_t* bytes, size_t n, Node dest) {
    const uint8_t* p = bytes;
    const uint8_t* end = bytes + n;
    while (p < end) {
        int b = triplet(p, end);
        if (b >= 0) {
            int size = lead_size(b);
            if (size == 0) {
                string::append_char(dest, static_cast<uint32_t>(b));
                p += 3;
                continue;
            }
            uint8_t seq[4] = {static_cast<uint8_t>(b), 0, 0, 0};
            bool complete = true;
            for (int k = 1; k < size && complete; k++) {
                int next = triplet(p + 3 * k, end);
                if (next < 0)
                    complete = false;
                else
                    seq[k] = static_cast<uint8_t>(next);
            }
            int32_t cp = complete ? decode_sequence(seq, size) : -1;
            if (cp >= 0) {
                string::append_char(dest, static_cast<uint32_t>(cp));
                p += 3 * size;
                continue;
            }
        }
        // A raw character (a "%" that starts no valid triplet sequence included).
        const uint8_t* q = p + 1;
        while (q < end && (*q & 0xC0) == 0x80 && q - p < 4) q++;
        string::append_utf8(dest, reinterpret_cast<const char*>(p), size_t(q - p));
        p = q;
    }
}

static void encode_byte(std::string& out, uint8_t b) {
    if (plain_q(b)) {
        out.push_back(static_cast<char>(b));
        return;
    }
    static const char digits[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    std::string text = string::to_utf8(value);
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (part && limit - static_cast<int>(out.size()) <= 0) break;
        encode_byte(out, static_cast<uint8_t>(ch));
    }
    string::concatenate_literal_n(buffer, out.data(), out.size());
    return limit - static_cast<int>(out.size());
}

static const int kStringActions[] = {ACT_FORM,  ACT_COMPARE, ACT_APPEND, ACT_AT,     ACT_BACK,   ACT_CHANGE, ACT_CLEAR,
                                     ACT_COPY,  ACT_FIND,    ACT_HEAD,   ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                                     ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT,   ACT_PICK,   ACT_POKE,   ACT_REMOVE, ACT_REVERSE,
                                     ACT_SELECT, ACT_SKIP,   ACT_SWAP,   ACT_TAIL,   ACT_TAIL_Q, ACT_TAKE,   ACT_MODIFY};

void init() {
    datatype::Row row;
    for (int a : kStringActions) row.inherit({a});
    // make, to and path access build URLs from blocks and join paths: they come with the url!
    // actions; until then string!'s serve.
    row.inherit({ACT_MAKE, ACT_TO, ACT_EVAL_PATH});
    row.set(ACT_MOLD, mold);
    datatype::register_row(TYPE_URL, TYPE_STRING, "url!", row);
}

}  // namespace url
