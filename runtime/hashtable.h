// The one hash-table engine of the run-time: symbols, context word tables, hash!, map!, node
// sets and the owned-series table (value tables), plus small pointer-key tables on the heap.
//
// Value tables are open addressing over a power-of-two number of buckets with two state bits per
// bucket, the key's full hash kept beside its position (a probe reads only keys of the same hash)
// and triangular probing (step 1, 2, 3, ...), kept below 0.77 occupancy. A table indexes
// the cells of a block and stores positions (cell index from the block's first cell), never
// copies; all of its parts are series, so the collector moves and reclaims them like any other.
// Functions here take and answer positions rather than cell addresses: a position stays valid
// across allocations, a cell address does not.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "runtime/memory.h"

namespace hashtable {

enum Kind : uint32_t {
    kHash = 0,     // hash!: any value, equal keys chained, position index kept
    kMap = 1,      // map!: keys at even positions, values after them
    kWords = 2,    // mode 1 symbol lookup table, mode 2 context word table
    kNodeSet = 3,  // records of 1 (mode 0) or 2 (mode 1) cells keyed by a 32-bit key
    kOwned = 4,    // records of 4 cells (mode 3) keyed by series node; weak (see prune_dead)
};

// Bucket states, two bits each.
constexpr uint32_t kUsed = 0, kDeleted = 1, kEmpty = 2;

// The table's record: a byte series whose node is what values hold (hash! and map! cell word 3,
// a context cell's word 1).
struct Record {
    uint32_t count;     // live keys (positions for hash!, entries without a hole for map!)
    uint32_t aux;       // hash!: node of the position index; record tables: bytes per record
    uint32_t chains;    // hash!: node of the chain list (cell 0 heads the free chain slots)
    uint32_t states;    // node: 2 bits per bucket, 0xAA bytes when all empty
    uint32_t keys;      // node: per bucket a 32-bit position (hash! -k names chain k), the key's hash
    uint32_t block;     // node of the block whose cells are the keys
    uint32_t occupied;  // buckets in use or deleted
    uint32_t buckets;   // a power of two, at least 4
    uint32_t upper;     // trunc(buckets x 0.77): reaching it grows or purges the table
    uint32_t kind;
    uint32_t stamp;     // node_passes + 1 when the hashes were taken, when keys depend on nodes
    uint32_t mode;
    uint32_t free_record;  // record tables: first free record's cell position + 1, 0 for none
    uint32_t spare[3];
};
static_assert(sizeof(Record) == 64);

inline Record* record(Node table) { return reinterpret_cast<Record*>(memory::nodes[table]->data()); }
inline Node block_of(Node table) { return record(table)->block; }
inline uint32_t count(Node table) { return record(table)->count; }
// The key cell at a position of the table's block (valid until the next allocation).
inline Cell* cell_at(Node table, int32_t position) {
    return cells_of(memory::nodes[record(table)->block]) + position;
}

// The run's hash seed: set once at start by the random-number module; constant afterwards.
extern uint32_t seed;

// Equality of keys of types whose layout alone does not decide it (bitsets, vectors, money ...):
// the compare action (0 = equal), set by the action dispatch at start-up. Keys hashed by their
// node, and every key while it is unset, are equal when their type and payload are identical.
extern int (*compare_hook)(const Cell* a, const Cell* b, int op);

// Symbol resolution for word keys and context tables: the node of the symbol block (symbol cells:
// data1 alias or -1, data2 string node or 0, data3 UTF-8 node).
void set_symbol_block(Node block);
Node symbol_block();
// The symbol lookup table used by symbol_find (also sets the symbol block from its record).
void set_symbol_table(Node table);
Node symbol_table();
// A symbol id resolved to the first-added member of its case family.
int32_t resolve(int32_t symbol);

// ---- Hashing ----
uint32_t murmur3(const void* data, uint32_t length);
// MurmurHash3's 32-bit finaliser of one word.
uint32_t hash_int(uint32_t key);
// Murmur of bytes with ASCII A-Z folded to a-z.
uint32_t hash_binary(const uint8_t* data, uint32_t length);
// Text hash of a string value from its index: one 32-bit block per codepoint, so any unit size
// hashes alike; folded to upper case (as text comparison folds) unless case_sensitive.
uint32_t hash_string(const Cell* value, bool case_sensitive);
uint32_t hash_value(const Cell* value, bool case_sensitive);
// Whether a key's hash depends on a node handle.
bool node_keyed(uint8_t type);
// Key equality: same type, then equal under the comparison operator, or kChainOp: the rule that
// groups a hash!'s equal keys in one chain (as equal?, except that a NaN is grouped with its
// bit-identical copies).
constexpr int kChainOp = -1;
bool keys_equal(const Cell* a, const Cell* b, int op);

// ---- Value tables ----
// A new table for an expected number of keys over a block value (from its index; every second
// cell for map!), or over a new block of `expected` cells when block is null or none.
Node init(int32_t expected, const Cell* block, uint32_t kind, uint32_t mode);

// Adds the cell at a position of the table's block as a key. add_cell answers 2 when the table
// had to be rebuilt from its block (which added this cell and every later one already there).
int add_cell(Node table, int32_t position);
void put_key(Node table, int32_t position);
// Adds every step-th cell from a position to the tail. For map! a key already present (equal
// under the comparison operator mode) takes the new value and the later key/value pair is removed
// from the block.
void put_all(Node table, int32_t from, int32_t step, int mode = 0);
// Adds count cells from a position (hash! insertion after refresh has made room).
void put_range(Node table, int32_t position, int32_t count);

// Key position equal to the value under the default equality, or -1.
int32_t get(Node table, const Cell* value);
// hash!: the qualifying position of a key equal to value under op (see the .cpp), or -1.
// map!, word tables: the first key position equal under op (start, skip and flags unused).
int32_t find(Node table, const Cell* value, int32_t start, int32_t skip, int op, bool last, bool reverse);
// Whether find would answer a position, without looking for the best one.
bool contains(Node table, const Cell* value, int32_t start, int32_t skip, int op);
// map! probe continuation: find_first starts, find_next answers the next equal key, -1 at the end.
struct Probe {
    uint32_t bucket;
    uint32_t step;
    uint32_t visited;
    uint32_t hash;
};
int32_t find_first(Node table, const Cell* value, int op, Probe& probe);
int32_t find_next(Node table, const Cell* value, int op, Probe& probe);

// Removes the key at a position: hash! and word tables forget it; map! makes its value a hole.
void delete_(Node table, int32_t position);
// Removes the keys of count cells from a position; a range covering the whole block of a hash!
// empties the table.
void remove_range(Node table, int32_t position, int32_t count);
void clear(Node table);
// map!: the live count after the map module revived (+1) a hole by writing its value.
void adjust_count(Node table, int32_t delta);
// hash!: the count cells that were at position now sit at position + shift. With drop, the keys
// of the cells a downward move overwrote ([position + shift, position)) are removed first. Cells
// are not read. Answers 1 without changing anything when count exceeds 30,000 (rebuild instead).
int refresh(Node table, int32_t shift, int32_t position, int32_t count, bool drop);
// hash!: count cells moved from `from` so that the first now sits at `to` (positions in the
// block after the move); the cells in between shifted to make room.
void move_range(Node table, int32_t from, int32_t count, int32_t to);

// A copy indexing another block with the same cells at the same positions.
Node copy(Node table, Node new_block);
// Context word tables: a copy together with a copy of its word list (block_of the result).
Node copy_record(Node table);

// Forgets every key and re-adds the block's cells into buckets sized for expected keys.
void rebuild(Node table, int32_t expected);
// As rebuild for hash!; other kinds re-insert their live keys into buckets sized for expected.
void rehash(Node table, int32_t expected);
// Re-inserts the live keys into new arrays of buckets = next power of two >= request (min 4).
void resize_value_table(Node table, uint32_t bucket_request);
// Rehashes a table whose hashes depend on node handles after node compaction renumbered nodes.
void check_moved(Node table);

// Symbol lookup (the global symbol table). Grows the table first when it is at its bound, then
// probes by the ASCII-folded text: an exact pass (skipped with case_insensitive_only) and a pass
// ignoring ASCII case. id: the exact hit's id, or 0. alias: the case-insensitive hit's id, or -1.
// bucket: the empty bucket a new symbol goes into (symbol_add), hash: the text's hash.
struct SymbolFind {
    int32_t id;
    int32_t alias;
    uint32_t bucket;
    uint32_t hash;
};
SymbolFind symbol_find(const uint8_t* text, uint32_t length, bool case_insensitive_only);
// Records the symbol cell just appended at position id - 1 in the bucket symbol_find gave.
void symbol_add(const SymbolFind& where, int32_t id);
// Context word table: the slot index of a symbol (by resolved ids when case_insensitive), or -1.
int32_t context_find(Node table, int32_t symbol, bool case_insensitive);

// ---- Record tables (kinds 3 and 4) ----
// The value cells of the key's record (unset in a new record); valid until the next allocation.
// A node set of mode 0 has no value cells: the address is just past the key cell.
Cell* put_int_key(Node table, uint32_t key);
Cell* get_int_key(Node table, uint32_t key);
void remove_int_key(Node table, uint32_t key);
// Compacts the block to the live records and rehashes for expected records.
void rebuild_keyed(Node table, int32_t expected);
void rehash_keyed(Node table, uint32_t bucket_request);

// ---- Collector hooks ----
// Keeps the table's series. Kind 3 keeps its key series (and their cells) and the block's
// values; kind 4 is weak: its keys, owners and record values are left to prune_dead.
void mark(Node* slot);
// After marking: drops every record of a record table whose key series (or, for kind 4, whose
// owner's context) went unmarked; keeps the others' nodes up to date.
void prune_dead(Node table);

void dump(Node table);

// ---- Pointer-key tables (heap records, 32-bit keys and values) ----
struct IntTable {
    uint32_t count;
    uint32_t occupied;
    uint32_t buckets;
    uint32_t upper;
    uint8_t* states;
    uint32_t* entries;  // key, value pairs
};
IntTable* int_make(int32_t expected);
void int_put(IntTable* t, uint32_t key, uint32_t value);
// Address of the key's value word, or null.
uint32_t* int_get(IntTable* t, uint32_t key);
bool int_delete(IntTable* t, uint32_t key);
// Bucket holding the key, or -1.
int32_t int_find_slot(IntTable* t, uint32_t key);
void int_resize(IntTable* t, uint32_t bucket_request);
void int_clear(IntTable* t);
// Iteration: start with *cursor = 0; answers false at the end.
bool int_next(IntTable* t, uint32_t* cursor, uint32_t* key, uint32_t* value);
void int_destroy(IntTable* t);

}  // namespace hashtable
