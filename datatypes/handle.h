// handle!: an operating-system or run-time handle of a named class (ports whose actor is a
// handle, windows, fonts). Cell: data1 class (int32), data2 the handle value (int32, an id into a
// side table where the thing handled is wider than 32 bits), data3 always -1 (no external
// resource record).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace handle {

// Handle classes; mold/all names classes 1 and up.
enum Class : int32_t {
    kNone = 0,
    kNull = 1,
    kFd = 2,
    kMonitor = 3,
    kWindow = 4,
    kFont = 5,
    kRichText = 6,
};
// The class's name, or null for class 0 and unknown classes.
const char* class_name(int32_t cls);

inline int32_t value_of(const Cell* h) { return h->i2(); }
inline int32_t class_of(const Cell* h) { return h->i1(); }

Cell* make_at(Cell* c, int32_t value, int32_t cls);
// Writes a handle! into the current call's result slot.
Cell* push(int32_t value, int32_t cls);
// Appends a handle! to a block.
Cell* make_in(Node block, int32_t value, int32_t cls);
// Pushes a handle! of value 0 and class 0 on the data stack.
Cell* push_empty();

// make handle! from an integer!: that value, class 0 (null-handle is make handle! 0).
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// Another handle! compares by value as signed integers; any other value is unequal (1).
int compare(const Cell* a, const Cell* b, int op);

// Registers handle! (type 46, parent integer!, no slot taken from it).
void init();

}  // namespace handle
