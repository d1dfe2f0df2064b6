// series!: the parent of every series type. Its actions move positions and work on elements the
// same way whatever the unit of the buffer (1, 2 or 4 bytes of text or bytes, 8 for wide vector
// elements, 16 for value cells); block! and string! inherit them or call them as shared routines.
//
// A series value: header type, data1 head index in units (signed; it may lie past the tail after
// the series shrank under another value), data2 buffer node, data3 a per-type extra (the hash
// table of a hash!, the element type of a vector!).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/ownership.h"

namespace series {

// ---- Owner notification ----

// The change events told to the owner of a series, each with a word for before and one for
// after the change (append/appended ... put/put-ed, swap/swaped).
enum Event : int {
    EV_APPEND,
    EV_INSERT,
    EV_CHANGE,
    EV_CLEAR,
    EV_MOVE,
    EV_POKE,
    EV_PUT,
    EV_REMOVE,
    EV_RANDOM,
    EV_REVERSE,
    EV_SORT,
    EV_SWAP,
    EV_TAKE,
    EV_TRIM,
    EV_COUNT
};

// Whether a series has an owner that may want to hear about changes (owned buffer flag; an
// image! is marked by its record in the owned-series table, since its cells are copied freely).
inline bool owned_q(const Cell* v) {
    if (v->type() == TYPE_IMAGE) return ownership::owned_q(v);
    return v->node() && (memory::nodes[v->node()]->flags & series_flag::owned);
}
// Tells the owner of a series about a change through ownership::check: the action word (the
// event's "after" word when after is set), the value (none when null), the index and the part.
// Does nothing for a series without owner. The owner's handler may run script code, so callers
// fetch buffer addresses again afterwards.
void notify(const Cell* series, Event event, bool after, const Cell* value, int32_t index, int32_t part);

// ---- Shared routines ----

inline SeriesBuf* buf_of(const Cell* v) { return memory::nodes[v->node()]; }
inline uint32_t unit_of(const Cell* v) { return buf_of(v)->unit(); }
// Units from the buffer's first used unit to the tail, ignoring the head.
inline int32_t total_length(const Cell* v) { return static_cast<int32_t>(buf_of(v)->length()); }
// The head index, a negative one counted as 0 (not clamped to the tail).
inline int32_t head_of(const Cell* v) { return v->index() > 0 ? v->index() : 0; }
// True when the head lies at or past the tail.
bool rs_tail_q(const Cell* v);
// Adds n to the head when the new position is not past the tail; answers whether the value is
// then at its tail.
bool rs_skip(Cell* v, int32_t n);
// Units from the head (from 0 with from_start) to the tail; a head past the tail is moved back to
// the tail and 0 answered.
int32_t get_length(Cell* v, bool from_start);
// The new head of at (offset 1) or skip (offset 0) for the current frame's arguments: the count
// must be an integer! (else script invalid-arg); the answer is clamped to 0 .. total length.
int32_t get_part_length(int offset);

// The count given by a /part (or similar) argument: an integer!, or a value of the same type over
// the same buffer, whose head minus this head is the count. Anything else raises script
// invalid-refine-arg naming the refinement.
int32_t part_count(const Cell* series, const Cell* part, const char* refinement = "part");
[[noreturn]] void bad_refine(const char* refinement, const Cell* arg);

// The element at an absolute unit index (from the first used unit; the caller checked the range)
// as a value: the cell itself for cell series, a char! for text, an integer! for binary!, the
// element value for vector!.
Cell* element_at(const Cell* v, int32_t index, Cell* out);

// Stores a value at an absolute unit index with the checks and owner notification of poke: an
// index outside the series raises script out-of-range with index_cell, a value the series cannot
// hold raises invalid-arg.
void poke_at(const Cell* v, int64_t position, const Cell* index_cell, const Cell* value);

// The series copy with the /part rules (integer! count, pair! range, same-buffer position,
// negative counts before the head). The result has the source's type and new-line marker, head 0,
// the source's extra word for vector!, and no owner; a hash! result gets no table (block! copy
// makes it one).
Cell* copy_core(Cell* out, const Cell* value, const Cell* part);
// A new series of count units copied from an absolute unit index, same type and unit as v (a
// cell the collector sees: on the data stack or guarded).
Cell* copy_units(Cell* out, const Cell* v, int32_t from, int32_t count);

// The shared take: part is null without /part. Answers none (empty series), a new series of the
// taken units, or, without /part, a value over a one-unit scratch series from which the caller
// takes the element at once (never hand it to script code). Tells the owner take/taken.
// prepare, when given, runs on the taken units once they have left the series (on the new
// series, or without /part on the taken cell itself, single set, for cells only), before the
// owner hears taken: an error it raises puts them back where they were.
using TakePrepare = void (*)(Cell* taken, bool single);
Cell* take_core(Cell* value, const Cell* part, bool last, Cell* out, TakePrepare prepare = nullptr);

// Removes count units from an absolute index (clamped to the tail), keeping a hash! table in
// step; does not tell the owner.
void remove_units(const Cell* v, int32_t from, int32_t count);

// hash! tables follow changes made to their blocks (no effect on other types).
void hash_removed(const Cell* v, int32_t from, int32_t count, int32_t old_length);
void hash_inserted(const Cell* v, int32_t from, int32_t count, int32_t old_length);
void hash_rebuild(const Cell* v);

// ---- Actions (frame convention: arguments from stack::arguments, result in its first cell) ----

void random(const int32_t* refs);
void reflect(const int32_t* refs);
void at(const int32_t* refs);
void back(const int32_t* refs);
void clear(const int32_t* refs);
void copy(const int32_t* refs);
void head(const int32_t* refs);
void head_q(const int32_t* refs);
void index_q(const int32_t* refs);
void length_q(const int32_t* refs);
void move(const int32_t* refs);
void next(const int32_t* refs);
void pick(const int32_t* refs);
void poke(const int32_t* refs);
void remove(const int32_t* refs);
void reverse(const int32_t* refs);
void skip(const int32_t* refs);
void tail(const int32_t* refs);
void tail_q(const int32_t* refs);
void take(const int32_t* refs);
void modify(const int32_t* refs);

// Registers series! (type 42).
void init();

// ---- Services of other modules ----

// vector! elements, installed by the vector module (no vector! value exists without it).
// get: the element at an address as a value; set: stores a value of the element type.
extern Cell* (*vector_get_value)(const uint8_t* address, uint32_t unit, int element_type, Cell* out);
extern void (*vector_set_value)(uint8_t* address, int element_type, uint32_t unit, const Cell* value);

}  // namespace series
