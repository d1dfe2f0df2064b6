// map! values: key/value pairs in a block of alternating keys and values, with a hash table over
// the keys. Cell: data1 head index (0), data2 the entry block's node, data3 the hash table. A
// value cell whose header is 0 marks a removed entry (a hole); the key stays.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace map {

// Types that may be keys.
bool valid_key_q(uint8_t type);
// Turns a key into its stored form in place: words of every kind become set-words (series keys
// are expected to be fresh copies already).
void preprocess_key(Cell* key);
// A map over an entry block that already holds preprocessed keys and their values (a later
// duplicate key takes the earlier entry's place), into c.
Cell* make_at(Cell* c, Node entries);
int32_t count(const Cell* map);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace map
