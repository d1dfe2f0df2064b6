// error! values: objects with the fields code, type, id, arg1, arg2, arg3, near, where, stack and
// files; their text is built from the message templates of the error catalog.
#pragma once

#include <cstdint>

#include "catalog_ids.h"
#include "datatypes/cell.h"

namespace error {

enum Field { FIELD_CODE = 0, FIELD_TYPE, FIELD_ID, FIELD_ARG1, FIELD_ARG2, FIELD_ARG3, FIELD_NEAR, FIELD_WHERE, FIELD_STACK, FIELD_FILES, FIELD_COUNT };

void init();

// Makes the error value of a catalog id with up to three arguments (absent ones stay none).
Cell* create(Cell* out, ErrorId id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// The make action: from an integer code, a block or a string.
Cell* make(Cell* proto, Cell* spec, int type);

// Field access on an error value (null when the value is not an error).
Cell* field(const Cell* err, Field f);
void set_field(Cell* err, Field f, const Cell* value);
ErrorId id_of(const Cell* err);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

// Prints an error as the console does (used when an error reaches no try frame).
void print_uncaught(const Cell* err);
// Replaces the stack position by a block of call names when tracing is on.
void set_stack(Cell* err);

// The i-th argument word of the innermost named call (none when not callable or out of range).
Cell* get_call_argument(int i, Cell* out);
// A copy of the path cut after element index (for bad-path-type).
Cell* path_up_to(Cell* out, const Cell* path, int index);

// The interpreter's current code position, for the near field.
extern void (*near_hook)(Cell* out);

}  // namespace error
