// event!: one user-interface event handed to the view engine's face handlers.
//
// Cell: header type 54, plus kMade when the value came from `make event!`; data1 the event type
// code (1-38, 0 when never set); data2 for a made event the node of a block of four cells (face,
// window, offset, picked) or 0, for a backend event the id of the backend's event record (an id
// with a generation: once the record is gone the id is stale and the backend's fields read as
// none); data3 the modifier and button bits, with the key character in the low 16 bits of a made
// event.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace event {

constexpr uint32_t kMade = 0x1000;

// Modifier and button bits of data3.
constexpr uint32_t kControl = 0x10000000;
constexpr uint32_t kShift = 0x20000000;
constexpr uint32_t kAlt = 0x40000000;
constexpr uint32_t kCommand = 0x80000000;
constexpr uint32_t kAway = 0x4000000;
constexpr uint32_t kDown = 0x2000000;
constexpr uint32_t kMidDown = 0x1000000;
constexpr uint32_t kAltDown = 0x800000;
constexpr uint32_t kAuxDown = 0x400000;

constexpr int kTypeCount = 38;   // event type codes 1-38
constexpr int kFieldCount = 15;  // fields 1-15

enum Field : int {
    kFType = 1, kFFace, kFWindow, kFOffset, kFKey, kFPicked, kFFlags, kFAway, kFDown, kFMidDown,
    kFAltDown, kFAuxDown, kFCtrl, kFShift, kFOrientation,
};

inline bool made_q(const Cell* ev) { return (ev->header & kMade) != 0; }

// Registers event! (type 54): make, form, mold, path access, compare and pick.
void init();

// An event of the backend: its type code, its flag bits and the id of its event record.
Cell* make_backend(Cell* out, int32_t type, uint32_t flags, uint32_t record);
// Pushes a copy of an event cell on the data stack.
Cell* push(const Cell* ev);

// The type word of a code, or none for a code without a word.
Cell* type_to_word(Cell* out, int32_t code);
// The code of a type word (case-insensitive); any other word raises not-event-type.
int32_t word_to_type(const Cell* word);
// The field number of a word, or -1. When `value` is an event! an unknown word raises cannot-use.
int field_index(const Cell* word, const Cell* value);
// Field n (1-15) of an event into out.
Cell* get_field(const Cell* ev, int n, Cell* out);

// The text of a special key's code (-20 up ... -42 F12), or null when the code names no key.
const char* key_name(int32_t code);

}  // namespace event
