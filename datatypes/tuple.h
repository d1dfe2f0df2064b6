// tuple! values: 3 to 12 unsigned bytes written with dots (1.2.3). Header: type 39 and the byte
// count in bits 19-22; the bytes follow the header in the cell (byte 1 is the lowest byte of data1),
// unused bytes zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

static_assert(offsetof(Cell, data1) == 4);

namespace tuple {

constexpr uint32_t count_shift = 19;
constexpr uint32_t count_mask = 0xFu << count_shift;

// The byte count (never more than the 12 places, whatever the header holds).
inline int count_of(const Cell* c) {
    int n = static_cast<int>((c->header & count_mask) >> count_shift);
    return n > 12 ? 12 : n;
}
// The 12 byte places after the header.
inline uint8_t* bytes_of(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 4; }
inline const uint8_t* bytes_of(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 4; }

// A tuple of n bytes (n < 3 is padded to 3 with zeros; n is at most 12). Header flags are kept.
Cell* make_at(Cell* c, const uint8_t* bytes, int n);
// Pushes a tuple of n bytes given as the three data words (n is at most 12).
Cell* push(int n, uint32_t data1, uint32_t data2, uint32_t data3);
// Pushes the tuple of the low bytes of n integers (n < 3 is padded to 3 with zeros).
Cell* push_bytes(int n, const int32_t* values);
// r.g.b when a is -1, else r.g.b.a; flags cleared.
Cell* from_rgba(Cell* c, int32_t r, int32_t g, int32_t b, int32_t a);
// Every byte zero.
bool all_zero_q(const Cell* c);

// to, and make (which does the same).
Cell* to(Cell* proto, Cell* spec, int type);
// Byte-wise arithmetic and bitwise operations (op 0 add ... 7 xor) on the current call's two
// arguments; either may be the tuple (subtract and divide need it first). The result, clamped
// to 0 .. 255 per byte, is argument 0.
void do_math(int op);
Cell* eval_path(PathStep& step, Cell* out);

// random: /seed seeds with the three data words xored (unset result); else each byte b
// becomes a random 0 .. b.
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace tuple
