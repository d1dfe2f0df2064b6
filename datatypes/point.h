// point2D! and point3D! values: coordinates as 32-bit floats, written (1.5, 2.0) and
// (1.0, 2.0, 3.0). Cells: data1 x, data2 y, (point3D!) data3 z, as IEEE 754 singles.
#pragma once

#include <cstdint>
#include <cstring>

#include "datatypes/cell.h"

namespace point2D {

inline float coord(const Cell* c, int i) {
    float f;
    const uint32_t* w = &c->data1 + i;
    std::memcpy(&f, w, sizeof f);
    return f;
}
inline void set_coord(Cell* c, int i, float f) { std::memcpy(&c->data1 + i, &f, sizeof f); }

Cell* make_at(Cell* c, float x, float y);

// Equality of two singles within a few units in the last place.
bool almost_equal(float a, float b);
// Shared by both point types: n is 2 or 3.
int compare_coords(const Cell* a, const Cell* b, int n, int op);
// random of both types: /seed seeds with a hash of the coordinates (unset result); else each
// non-zero coordinate becomes float! random of it, as a single.
void random_coords(int n, const int32_t* refs);
void random(const int32_t* refs);
int write_coords(const Cell* value, int n, Node buffer, int limit);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace point2D

namespace point3D {

Cell* make_at(Cell* c, float x, float y, float z);
void random(const int32_t* refs);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace point3D
