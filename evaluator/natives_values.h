// Natives that read, write, build and compare values, and the set operations.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace natives {

void get(int check, const int32_t* refs);
void set(int check, const int32_t* refs);
void print(int check, const int32_t* refs);
void prin(int check, const int32_t* refs);
void equal_q(int check, const int32_t* refs);
void not_equal_q(int check, const int32_t* refs);
void strict_equal_q(int check, const int32_t* refs);
void lesser_q(int check, const int32_t* refs);
void greater_q(int check, const int32_t* refs);
void lesser_or_equal_q(int check, const int32_t* refs);
void greater_or_equal_q(int check, const int32_t* refs);
void same_q(int check, const int32_t* refs);
void not_(int check, const int32_t* refs);
void type_q(int check, const int32_t* refs);
void reduce(int check, const int32_t* refs);
void compose(int check, const int32_t* refs);
void stats(int check, const int32_t* refs);
void bind(int check, const int32_t* refs);
void in(int check, const int32_t* refs);
void union_(int check, const int32_t* refs);
void intersect(int check, const int32_t* refs);
void unique(int check, const int32_t* refs);
void difference(int check, const int32_t* refs);
void exclude(int check, const int32_t* refs);
void complement_q(int check, const int32_t* refs);

// Writes a value through the output hooks: a block is reduced first (in the shared print
// buffer, so a print inside the reduction keeps the outer values), a string is written as it is,
// anything else formed. Sets last_lf to the newline flag.
void print_core(const Cell* value, bool newline);
// Identity of two values by their payload, per type.
bool same_core(const Cell* a, const Cell* b);
// The set-operation core on the running call's two first arguments: the sets must agree in type
// (block! and hash! mix) except for unique; case_ and skip (the /skip cell or null) go to the
// datatype's own routine.
void set_op(bool case_, const Cell* skip, int op);
// The set routine of a datatype (bitset!): it works on the running call's first two arguments and
// leaves the result in the first. block!, hash!, string!, typeset! and date! are built in.
void register_set_op(int type, void (*fn)(bool case_, const Cell* skip, int op));

}  // namespace natives
