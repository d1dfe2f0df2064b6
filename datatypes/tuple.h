// tuple! values: 3 to 12 unsigned bytes written with dots (1.2.3). Header: type 39 and the byte
// count in bits 19-22; the bytes follow the header in the cell (byte 1 is the lowest byte of data1),
// unused bytes zero.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace tuple {

constexpr uint32_t count_shift = 19;
constexpr uint32_t count_mask = 0xFu << count_shift;

inline int count_of(const Cell* c) { return static_cast<int>((c->header & count_mask) >> count_shift); }
inline uint8_t* bytes_of(Cell* c) { return reinterpret_cast<uint8_t*>(&c->data1); }
inline const uint8_t* bytes_of(const Cell* c) { return reinterpret_cast<const uint8_t*>(&c->data1); }

// A tuple of n bytes (n < 3 is padded to 3 with zeros; n is at most 12). Header flags are kept.
Cell* make_at(Cell* c, const uint8_t* bytes, int n);

// random: /seed seeds with the three data words xored (unset result); else each byte b
// becomes a random 0 .. b.
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace tuple
