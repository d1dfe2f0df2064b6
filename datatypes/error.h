// error! values: objects (class id 1, no handlers) with the fields code, type, id, arg1, arg2,
// arg3, near, where, stack and files; their text is built from the message templates of the
// error catalog.
//
// The catalog object (what the boot script stores as system/catalog/errors) is built at start-up
// from the same generated table as the run-time's error ids: one object per category with
// `code`, `type` (the title) and one field per id holding its message (a string, a block of
// strings and argument words, or the word of the field that is the message).
#pragma once

#include <cstdint>

#include "catalog_ids.h"
#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace error {

enum Field { FIELD_CODE = 0, FIELD_TYPE, FIELD_ID, FIELD_ARG1, FIELD_ARG2, FIELD_ARG3, FIELD_NEAR, FIELD_WHERE, FIELD_STACK, FIELD_FILES, FIELD_COUNT };

// Registers error! (after object!).
void init();
// Builds the catalog and the prototype error (once the global context exists).
void init_catalog();

// The catalog object (system/catalog/errors) and the prototype of every error
// (system/standard/error); start-up may install the script-level objects in their place.
const Cell* catalog();
void set_catalog(const Cell* catalog_object);
const Cell* prototype();
void set_prototype(const Cell* error_prototype);
// Makes system/catalog/errors and system/standard/error the catalog and the prototype in use, so
// that what a script changes in them shows in the errors made and formed from then on.
void install_system_objects();
// The object holding stack-trace and source-files (system/state). Without one, the trace level
// is 1 and there are no source files.
void set_state(const Cell* state_object);
int trace_level();

// Makes the error value of a catalog id with up to three arguments (absent ones keep the
// prototype's values) and the interpreter's current position in near.
Cell* create(Cell* out, ErrorId id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// The make action: from an integer code, a block or a string.
Cell* make(Cell* proto, Cell* spec, int type);

// Field access on an error value (null when the value is not an error).
Cell* field(const Cell* err, Field f);
void set_field(Cell* err, Field f, const Cell* value);
// The catalog id of an error (internal invalid-error when its type or id is unknown).
ErrorId id_of(const Cell* err);
// Whether an error value is of the given catalog id.
bool is(const Cell* err, ErrorId id);
// The symbols of the type and id fields (0 when they hold no word).
int32_t get_type(const Cell* err);
int32_t get_id(const Cell* err);
constexpr int stack_field_index() { return FIELD_STACK; }

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// Writes a message block: strings verbatim, argument words replaced by the error's fields
// (formed for syntax errors, else molded flat; cut at 80 characters), one space between.
int reduce_message(const Cell* message, Node buffer, const Cell* err, int limit);

// Prints an error as the console does (used when an error reaches no try frame).
void print_uncaught(const Cell* err);
// Replaces the stack position by a block of call names, and puts a copy of the source files
// into files.
void set_stack(Cell* err);

// The i-th argument word of the innermost named call (none when not callable or out of range).
Cell* get_call_argument(int i, Cell* out);
// A copy of the path cut after element index (for bad-path-type).
Cell* path_up_to(Cell* out, const Cell* path, int index);

// The interpreter's current code position, for the near field.
extern void (*near_hook)(Cell* out);

}  // namespace error
