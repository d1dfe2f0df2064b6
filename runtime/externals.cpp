#include "runtime/externals.h"

#include "runtime/runtime.h"

namespace externals {

namespace {
struct KindEntry {
    const char* name;
    ReleaseFn release;
};
KindEntry* kinds = nullptr;
int32_t kind_count = 0;
Entry* records = nullptr;
int32_t record_count = 0;
int32_t used_head = -1;
int32_t free_head = -1;
int32_t used_total = 0;

bool in_table(int32_t index) { return records && index >= 0 && index < record_count; }
bool in_use(int32_t index) { return in_table(index) && !(records[index].kind & kFree); }

// Unlinks a used record, given its predecessor on the used list (-1 for the head).
void unlink_used(int32_t index, int32_t prev) {
    if (prev < 0)
        used_head = records[index].next;
    else
        records[prev].next = records[index].next;
}

void push_free(int32_t index) {
    records[index] = {kFree, free_head, 0};
    free_head = index;
    used_total--;
}
}  // namespace

void link_free(int32_t first, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        int32_t at = first + i;
        records[at] = {kFree, i + 1 < count ? at + 1 : -1, 0};
    }
}

void init() {
    runtime::free(kinds);
    runtime::free(records);
    kinds = static_cast<KindEntry*>(runtime::allocate_zeroed(sizeof(KindEntry) * kMaxKinds));
    kind_count = 0;
    records = static_cast<Entry*>(runtime::allocate(sizeof(Entry) * kInitialRecords));
    record_count = kInitialRecords;
    link_free(0, kInitialRecords);
    free_head = 0;
    used_head = -1;
    used_total = 0;
}

int32_t register_kind(const char* name, ReleaseFn release) {
    if (!kinds || kind_count >= kMaxKinds) return 0;
    kinds[kind_count] = {name, release};
    return ++kind_count;
}

int32_t store(Handle handle, int32_t kind) {
    if (!records || kind < 0 || kind > kind_count) return -1;
    if (records[free_head].next < 0) {
        // The last free record: double first, the new half linked behind it.
        int32_t old = record_count;
        records = static_cast<Entry*>(runtime::resize(records, sizeof(Entry) * size_t(old) * 2));
        record_count = old * 2;
        link_free(old, old);
        records[free_head].next = old;
    }
    int32_t i = free_head;
    free_head = records[i].next;
    records[i] = {static_cast<uint32_t>(kind), used_head, handle};
    used_head = i;
    used_total++;
    return i;
}

bool mark(int32_t index, Handle new_handle) {
    if (!in_use(index)) return false;
    Entry& e = records[index];
    if (new_handle) e.handle = new_handle;
    if (e.kind & kMark) return false;
    e.kind |= kMark;
    return true;
}

void release(uint32_t kind_word, Handle handle) {
    int32_t id = static_cast<int32_t>(kind_word & 0xFF);
    if (id >= 1 && id <= kind_count && kinds[id - 1].release) kinds[id - 1].release(handle);
}

void release_record(int32_t index) {
    if (in_use(index)) release(records[index].kind, records[index].handle);
}

void sweep() {
    int32_t prev = -1;
    for (int32_t i = used_head; i >= 0;) {
        int32_t next = records[i].next;
        if (records[i].kind & kMark) {
            records[i].kind &= ~kMark;
            prev = i;
        } else {
            release(records[i].kind, records[i].handle);
            unlink_used(i, prev);
            push_free(i);
        }
        i = next;
    }
}

bool remove(int32_t index, bool release_it) {
    if (!in_use(index)) return false;
    int32_t prev = -1;
    int32_t i = used_head;
    while (i >= 0 && i != index) {
        prev = i;
        i = records[i].next;
    }
    if (i < 0) return false;
    if (release_it) release(records[index].kind, records[index].handle);
    unlink_used(index, prev);
    push_free(index);
    return true;
}

bool replace_handle(int32_t index, Handle handle) {
    if (!in_use(index)) return false;
    Handle old = records[index].handle;
    records[index].handle = handle;
    if (old != handle) release(records[index].kind, old);
    return true;
}

void walk(int32_t kind, void (*proc)(int32_t kind, Handle handle)) {
    for (int32_t i = used_head; i >= 0; i = records[i].next)
        if (static_cast<int32_t>(records[i].kind & 0xFF) == kind) proc(kind, records[i].handle);
}

int32_t capacity() { return record_count; }
int32_t used_count() { return used_total; }
const Entry* entry(int32_t index) { return in_use(index) ? &records[index] : nullptr; }
const char* kind_name(int32_t kind) { return kind >= 1 && kind <= kind_count ? kinds[kind - 1].name : nullptr; }

}  // namespace externals
