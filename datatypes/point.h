// point2D! and point3D! values: coordinates as 32-bit floats, written (1.5, 2.0) and
// (1.0, 2.0, 3.0). Cells: data1 x, data2 y, (point3D!) data3 z, as IEEE 754 singles.
#pragma once

#include <cstdint>
#include <cstring>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace point2D {

// The data word holding coordinate i (0 x, 1 y, 2 z).
inline uint32_t& word_of(Cell* c, int i) { return i == 0 ? c->data1 : i == 1 ? c->data2 : c->data3; }
inline uint32_t word_of(const Cell* c, int i) { return i == 0 ? c->data1 : i == 1 ? c->data2 : c->data3; }
inline float coord(const Cell* c, int i) {
    uint32_t w = word_of(c, i);
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}
inline void set_coord(Cell* c, int i, float f) { std::memcpy(&word_of(c, i), &f, sizeof f); }

Cell* make_at(Cell* c, float x, float y);
Cell* make_in(Node block, float x, float y);
Cell* push(float x, float y);
// A number as a coordinate: an integer! converted to single, a float! or percent! rounded to single.
float number_to_float(const Cell* number);

// Shared by both point types: n is 2 or 3.
int compare_coords(const Cell* a, const Cell* b, int n, int op);
// random of both types: /seed seeds with a hash of the coordinates (unset result); else each
// non-zero coordinate becomes float! random of it, as a single.
void random_coords(int n, const int32_t* refs);
void random(const int32_t* refs);
int write_coords(const Cell* value, int n, Node buffer, int limit);

// The actions below serve both point types; the value's type decides the coordinate count.
// make and to (one routine): the target type is point2D! or point3D!.
Cell* make(Cell* proto, Cell* spec, int type);
// Arithmetic (op 0 add ... 4 remainder) with the point in argument 0 and the result there. A zero
// divisor raises nothing: the coordinate becomes infinite or NaN.
void do_math(int op);
void negate(const int32_t* refs);
void absolute(const int32_t* refs);
void round(const int32_t* refs);
void reverse(const int32_t* refs);
void pick(const int32_t* refs);
Cell* eval_path(PathStep& step, Cell* out);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace point2D

namespace point3D {

Cell* make_at(Cell* c, float x, float y, float z);
Cell* make_in(Node block, float x, float y, float z);
Cell* push(float x, float y, float z);
inline void negate(const int32_t* refs) { point2D::negate(refs); }
void random(const int32_t* refs);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace point3D
