// map! values: key/value pairs in a block of alternating keys and values, with a hash table over
// the keys. Cell: data1 head index (0), data2 the entry block's node, data3 the hash table. A
// value cell whose header is 0 marks a removed entry (a hole); the key stays.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace map {

// Types that may be keys.
bool valid_key_q(uint8_t type);
// Turns a key into its stored form in place: words of every kind become set-words (series keys
// are expected to be fresh copies already).
void preprocess_key(Cell* key);
// Checks a key and turns it into its stored form in place: words of every kind become
// set-words, string-like and binary! keys become copies of their own. A key of any other type
// than valid_key_q accepts raises script invalid-path with the path (or none) and its datatype.
void prepare_key(Cell* key, const Cell* path);
// A map over an entry block that already holds preprocessed keys and their values (a later
// duplicate key takes the earlier entry's place), into c.
Cell* make_at(Cell* c, Node entries);
// An empty map with room for `size` entries, into c.
Cell* make_new(Cell* c, int32_t size);
// Pushes a copy of a map! cell (the same map) on the data stack.
Cell* push(const Cell* map);
int32_t count(const Cell* map);

// Lookup modes are comparison operators: COMP_EQUAL (0), COMP_STRICT_EQUAL (2, /case), COMP_SAME
// (9, /same). The position of a live entry's key in the entry block, or -1.
int32_t find_entry(const Cell* map, const Cell* key, int mode);
// The value stored under a key, or null (valid until the next allocation).
Cell* select_value(const Cell* map, const Cell* key, int mode);
// Stores a value under a key (added at the end when missing, revived when removed); path names
// the path for the error of an invalid key (null: none).
void put_value(const Cell* map, const Cell* key, const Cell* value, bool case_, const Cell* path = nullptr);
// Removes the entry of a key (a hole stays in its place); answers whether one was live.
bool remove_key(const Cell* map, const Cell* key, int mode);
// A copy with its own entry block and table into out: deep copies nested series; kind, a
// datatype! or typeset!, copies only the values of those types (deeply with deep).
Cell* copy_at(Cell* out, const Cell* map, bool deep, const Cell* kind);
// Adds the key/value pairs of a block (of even length, else script invalid-arg) in place.
void extend(const Cell* map, const Cell* block, bool case_);
// Keys handed out (find, reflect, foreach) come back as word! where a set-word! is stored, and as
// copies where they are text or binary!, so that changing one cannot change a key under the table.

// One step of foreach: assigns the next live keys and values to the first `count` words of the block, advancing the cursor (a map! value whose index is the entry
// position); words left over get none. Answers whether anything was assigned.
bool foreach_next(Cell* cursor, const Cell* words, int32_t count);
// reflect: `words` (the keys, set-words as words), `values`, or `body` (the pairs, a new line
// before each key); any other field raises internal not-done.
Cell* reflect_field(Cell* out, const Cell* map, const Cell* field);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
Cell* eval_path(PathStep& step, Cell* out);
void reflect(const int32_t* refs);
void clear(const int32_t* refs);
void copy(const int32_t* refs);
void find(const int32_t* refs);
void length_q(const int32_t* refs);
void put(const int32_t* refs);
void remove(const int32_t* refs);
void select(const int32_t* refs);

void init();

}  // namespace map
