// External resources: handles that values own outside the run-time's memory (an image's
// bitmap). Values refer to a record by its 0-based index; the collector marks the records live
// values reach and sweep() releases the rest through the callback of their kind.
#pragma once

#include <cstdint>

namespace externals {

// A handle is opaque to the table; on this platform it may be a machine address.
using Handle = uintptr_t;
using ReleaseFn = void (*)(Handle handle);

constexpr int kMaxKinds = 20;
constexpr int32_t kInitialRecords = 1000;
constexpr uint32_t kFree = 0x40000000;  // kind word of a free record
constexpr uint32_t kMark = 0x80000000;  // collector's mark

struct Entry {
    uint32_t kind;  // bits 0-7 the kind id; kFree, kMark
    int32_t next;   // next record of the used or free list, -1 at the end
    Handle handle;
};

// Makes (or remakes, dropping every record unreleased) the kind and record tables.
void init();
// The new kind's 1-based id, or 0 when all kMaxKinds kinds are taken.
int32_t register_kind(const char* name, ReleaseFn release);
// A new record for the handle; -1 for a kind id that is not registered (0 means no kind).
int32_t store(Handle handle, int32_t kind);
// Marks a used record, replacing its handle when new_handle is not 0. True when it was not yet
// marked; an index outside the table or of a free record is refused (false).
bool mark(int32_t index, Handle new_handle = 0);
// After marking: unmarked records are released and freed, marks are cleared.
void sweep();
// Frees a used record, first releasing its handle when asked. False when refused.
bool remove(int32_t index, bool release);
// Calls the kind's release callback for a kind word and handle (none for kind 0).
void release(uint32_t kind_word, Handle handle);
void release_record(int32_t index);
// Stores a new handle, releasing the old one when they differ.
bool replace_handle(int32_t index, Handle handle);
// Calls proc(kind, handle) for every used record of a kind.
void walk(int32_t kind, void (*proc)(int32_t kind, Handle handle));
// Links count records from first as free, ending with -1.
void link_free(int32_t first, int32_t count);

int32_t capacity();
int32_t used_count();
// The record of a used index, or null.
const Entry* entry(int32_t index);
const char* kind_name(int32_t kind);

}  // namespace externals
