#include "runtime/memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/cell.h"
#include "datatypes/error.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"

namespace memory {

SeriesBuf** nodes = nullptr;
State state;

// The node table is one reserved range of address space; pages are committed by the kernel as
// node frames are first touched, so the table never moves and a handle lookup is one load. Under
// a limit on the address space the reservation shrinks (down to kMinNodes) rather than fail.
static constexpr size_t kMostNodes = size_t(1) << 26, kMinNodes = size_t(1) << 18;
static size_t max_nodes = kMostNodes;

static constexpr size_t kPage = 4096;
static constexpr size_t kFrameHeader = sizeof(size_t);  // size word in front of every OS frame

static size_t round_page(size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

bool initialised() { return nodes != nullptr; }

// A frame from the system, or null when it refuses one.
static void* take_reserve(size_t size);

static void* os_try_allocate_frame(size_t bytes) {
    size_t size = round_page(bytes + kFrameHeader);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) p = take_reserve(size);
    if (!p) return nullptr;
    *static_cast<size_t*>(p) = size;
    state.total += size;
    return static_cast<char*>(p) + kFrameHeader;
}

// Making the no-memory error takes memory as well: node handles and series room. Some of each is
// kept back and given up when an allocation is refused, so that the error can be made. A refusal
// while that error is being made ends the process with run-time error 94, since the error could
// only be raised again without end; so does a refusal before start-up has made the errors.
// The series room is a range of address space mapped without access. While the error is made,
// the frames it needs are small and are mapped over the top of that range, so the rest stays
// kept back for the errors after it: a script that catches the error and goes on filling memory
// would otherwise take the room given up before the next refusal, which then had none.
static constexpr size_t kReserveBytes = size_t(4) << 20;
static constexpr size_t kRaisingFrame = size_t(64) << 10;
static constexpr size_t kReserveNodeFrames = 4;
static char* reserve_block = nullptr;
static size_t reserve_left = 0;  // bytes of the range still kept back, from its start
static bool raising = false;
bool starting = false;

// Keeps back address space for the next errors; a reserve partly used is replaced by a whole one
// when the system grants it.
static void hold_reserve() {
    if (reserve_block && reserve_left == kReserveBytes) return;
    void* p = mmap(nullptr, kReserveBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return;
    if (reserve_block) munmap(reserve_block, reserve_left);
    reserve_block = static_cast<char*>(p);
    reserve_left = kReserveBytes;
}

// While the no-memory error is made: size bytes of the reserve, mapped for use, or null.
static void* take_reserve(size_t size) {
    if (!raising || !reserve_block || size > reserve_left) return nullptr;
    char* at = reserve_block + reserve_left - size;
    void* p = mmap(at, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    reserve_left -= size;
    if (!reserve_left) reserve_block = nullptr;
    return p;
}

static int after_error = 0;  // depth of AfterError scopes

AfterError::AfterError() { after_error++; }
AfterError::~AfterError() { after_error--; }
bool after_error_active() { return after_error > 0; }

[[noreturn]] void out_of_memory() {
    if (raising || after_error || !error::catalog() || !error::prototype()) runtime::quit(94, KEL_CALLER_ADDRESS());
    raising = true;
    struct Raised {
        ~Raised() { raising = false; }
    } raised;
    fire(err::internal::no_memory);
}

void* os_allocate_frame(size_t bytes) {
    void* p = os_try_allocate_frame(bytes);
    if (!p) out_of_memory();
    return p;
}

void os_free_frame(void* address) {
    char* base = static_cast<char*>(address) - kFrameHeader;
    size_t size = *reinterpret_cast<size_t*>(base);
    state.total -= size;
    if (munmap(base, size) != 0) fire(err::internal::wrong_mem);
}

static std::vector<Node> fixed_nodes;     // every fixed series made (see clear_fixed_marks)
static std::vector<Node> retired_bases;  // handle ranges of node frames given back
static std::vector<NodeFrame*> frame_by_range;  // node frame of each range of 10,000 handles

static NodeFrame* alloc_node_frame() {
    Node base;
    if (!retired_bases.empty()) {
        base = retired_bases.back();
        retired_bases.pop_back();
    } else {
        // The last handles are only given out while the no-memory error is made.
        size_t limit = raising ? max_nodes : max_nodes - kReserveNodeFrames * kNodesPerFrame;
        if (state.node_high + kNodesPerFrame >= limit) out_of_memory();
        base = state.node_high;
        state.node_high += kNodesPerFrame;
    }
    auto* f = static_cast<NodeFrame*>(runtime::allocate_zeroed(sizeof(NodeFrame)));
    f->capacity = kNodesPerFrame;
    f->first = base;
    size_t k = (base - 1) / kNodesPerFrame;
    if (frame_by_range.size() <= k) frame_by_range.resize(k + 1, nullptr);
    frame_by_range[k] = f;
    // Chain every node in address order.
    for (uint32_t i = 0; i < kNodesPerFrame; i++) {
        Node next = i + 1 < kNodesPerFrame ? f->first + i + 1 : 0;
        nodes[f->first + i] = reinterpret_cast<SeriesBuf*>((uintptr_t(next) << 1) | 1);
    }
    f->free_head = f->first;
    f->cycle = collector::cycles;
    f->prev = state.node_last;
    if (state.node_last)
        state.node_last->next = f;
    else
        state.node_first = f;
    state.node_last = f;
    if (!state.node_current) state.node_current = f;
    return f;
}

NodeFrame* frame_of_node(Node n) {
    size_t k = (n - 1) / kNodesPerFrame;
    return n && k < frame_by_range.size() ? frame_by_range[k] : nullptr;
}

Node alloc_node() {
    NodeFrame* f = state.node_current;
    if (!f || !f->free_head || f->releasing) {
        f = state.node_first;
        while (f && (!f->free_head || f->releasing)) f = f->next;
        if (!f) f = alloc_node_frame();
        state.node_current = f;
    }
    Node n = f->free_head;
    f->free_head = static_cast<Node>(reinterpret_cast<uintptr_t>(nodes[n]) >> 1);
    nodes[n] = nullptr;
    f->in_use++;
    return n;
}

void free_node(Node n) {
    NodeFrame* f = frame_of_node(n);
    if (!f) return;
    nodes[n] = reinterpret_cast<SeriesBuf*>((uintptr_t(f->free_head) << 1) | 1);
    f->free_head = n;
    f->in_use--;
}

void compact_nodes() {
    NodeFrame* f = state.node_first;
    bool current_set = false;
    while (f) {
        NodeFrame* next = f->next;
        if (f->in_use == 0 || f->releasing) {
            // Give the frame back: its handles are retired with it.
            if (f->prev)
                f->prev->next = f->next;
            else
                state.node_first = f->next;
            if (f->next)
                f->next->prev = f->prev;
            else
                state.node_last = f->prev;
            if (state.node_current == f) state.node_current = state.node_last;
            // The frame's handle range is reused by the next node frame made.
            for (uint32_t i = 0; i < f->capacity; i++) nodes[f->first + i] = nullptr;
            retired_bases.push_back(f->first);
            frame_by_range[(f->first - 1) / kNodesPerFrame] = nullptr;
            runtime::free(f);
        } else {
            if (!current_set && f->free_head) {
                state.node_current = f;
                current_set = true;
            }
            f->history = (f->history << 1) | (f->in_use == f->in_use_before ? 1u : 0u);
            f->in_use_before = f->in_use;
        }
        f = next;
    }
}

SeriesFrame* alloc_series_frame(bool may_fail, size_t at_least) {
    size_t data_size = state.next_frame_size;
    // The frames of the error come out of the reserve: as small as will do.
    if (raising) data_size = std::min(data_size, std::max(kRaisingFrame, round_page(at_least + sizeof(SeriesFrame) + kFrameHeader)));
    void* p = may_fail ? os_try_allocate_frame(data_size + sizeof(SeriesFrame))
                       : os_allocate_frame(data_size + sizeof(SeriesFrame));
    if (!p) return nullptr;
    if (state.next_frame_size < state.max_frame_size) state.next_frame_size *= 2;
    if (state.next_frame_size > state.max_frame_size) state.next_frame_size = state.max_frame_size;
    auto* f = static_cast<SeriesFrame*>(p);
    f->size = data_size + sizeof(SeriesFrame);
    f->free = f->data();
    f->end = f->data() + data_size;
    state.frames_made++;
    // Insert in address order.
    SeriesFrame* after = nullptr;
    for (SeriesFrame* s = state.series_first; s && s < f; s = s->next) after = s;
    f->prev = after;
    f->next = after ? after->next : state.series_first;
    if (f->next)
        f->next->prev = f;
    else
        state.series_last = f;
    if (after)
        after->next = f;
    else
        state.series_first = f;
    return f;
}

void free_series_frame(SeriesFrame* f) {
    if (f->prev)
        f->prev->next = f->next;
    else
        state.series_first = f->next;
    if (f->next)
        f->next->prev = f->prev;
    else
        state.series_last = f->prev;
    if (state.series_current == f) state.series_current = state.series_last;
    os_free_frame(f);
}

void measure_after_collection() {
    size_t live = 0, room = 0;
    for (SeriesFrame* f = state.series_first; f; f = f->next) {
        live += size_t(f->free - f->data());
        room += size_t(f->end - f->free);
    }
    size_t reserve = live / kGrowthDivisor;
    // Frames the compaction emptied go back while the rest still leaves the reserve; the last
    // frame always stays.
    for (SeriesFrame* f = state.series_first; f;) {
        SeriesFrame* next = f->next;
        size_t size = size_t(f->end - f->data());
        if (next && f->free == f->data() && room >= reserve + size) {
            room -= size;
            free_series_frame(f);
        }
        f = next;
    }
    state.grow_hint = room < reserve ? reserve - room : 0;
    hold_reserve();
}

// New frames adding at least `bytes` of room; answers one with room for n bytes.
static SeriesFrame* grow_frames(size_t bytes, size_t n) {
    state.grow_hint = 0;
    SeriesFrame* fit = nullptr;
    size_t added = 0;
    do {
        // The reserve is a speed measure: near the system's limit, stop growing it and go on
        // with what was had, rather than fail an allocation that one frame would serve.
        SeriesFrame* f = alloc_series_frame(true);
        if (!f) break;
        added += size_t(f->end - f->free);
        if (!fit && f->free + n < f->end) fit = f;
    } while (added < bytes);
    // Refused by the system: a frame the collection left room in still serves.
    if (!fit) fit = find_series_frame(n);
    return fit ? fit : alloc_series_frame();
}

SeriesFrame* find_series_frame(size_t n) {
    for (SeriesFrame* f = state.series_first; f; f = f->next)
        if (f->free + n < f->end) return f;
    return nullptr;
}

SeriesBuf* alloc_big_region(size_t bytes) {
    auto* r = static_cast<BigRegion*>(os_allocate_frame(bytes + sizeof(BigRegion)));
    r->size = bytes;
    r->next = nullptr;
    r->prev = state.big_last;
    if (state.big_last)
        state.big_last->next = r;
    else
        state.big_first = r;
    state.big_last = r;
    return r->buffer();
}

static BigRegion* region_of(SeriesBuf* b) { return reinterpret_cast<BigRegion*>(b) - 1; }

void free_big_region(SeriesBuf* b) {
    BigRegion* r = region_of(b);
    if (r->prev)
        r->prev->next = r->next;
    else
        state.big_first = r->next;
    if (r->next)
        r->next->prev = r->prev;
    else
        state.big_last = r->prev;
    os_free_frame(r);
}

void sweep_big_series() {
    BigRegion* r = state.big_first;
    while (r) {
        BigRegion* next = r->next;
        SeriesBuf* b = r->buffer();
        if (b->flags & series_flag::mark) {
            b->flags &= ~series_flag::mark;
        } else {
            if (b->node && (b->flags & series_flag::in_use)) collector::queue_node(b->node);
            free_big_region(b);
        }
        r = next;
    }
}

bool in_series_frames(const void* p) {
    for (SeriesFrame* f = state.series_first; f; f = f->next)
        if (p >= f->data() && p < f->end) return true;
    return false;
}

void init() {
    if (nodes) return;
    void* p = MAP_FAILED;
    // Under a limit on the address space the table takes an eighth of it at the most.
    max_nodes = kMostNodes;
    if (size_t limit = platform::address_space_limit())
        while (max_nodes > kMinNodes && max_nodes * sizeof(SeriesBuf*) > limit / 8) max_nodes /= 2;
    for (; max_nodes >= kMinNodes; max_nodes /= 2) {
        p = mmap(nullptr, max_nodes * sizeof(SeriesBuf*), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED) break;
    }
    if (p == MAP_FAILED) runtime::quit(94, KEL_CALLER_ADDRESS());
    nodes = static_cast<SeriesBuf**>(p);
    state = State();
    // Handle 0 is never given out.
    state.node_high = 1;
    hold_reserve();
    alloc_node_frame();
    state.series_current = alloc_series_frame();
}

SeriesBuf* alloc_series_buffer(int32_t units, int unit, int32_t offset) {
    int64_t bytes = int64_t(units) * unit;
    if (units < 0 || bytes > int64_t(0x7FFFFFF0)) fire(err::internal::no_memory);
    // Every allocation is a point where the collector may run: under torture, make it run.
    if (collector::torture && collector::enabled && !collector::active) collector::do_cycle();
    uint32_t c = static_cast<uint32_t>((bytes + 15) & ~int64_t(15));
    size_t n = size_t(c) + sizeof(SeriesBuf);
    SeriesBuf* b;
    uint32_t big = 0;
    if (n >= state.max_frame_size) {
        collector::auto_cycle();
        b = alloc_big_region(n);
        big = series_flag::big;
    } else {
        SeriesFrame* f = state.series_current;
        if (!f || !(f->free + n < f->end)) {
            f = find_series_frame(n);
            if (!f) {
                // No collection while the no-memory error is made: it would only spend the room
                // kept back for that error.
                bool collected = !raising && collector::auto_cycle();
                if (collected) f = find_series_frame(n);
                if (collected && state.grow_hint) {
                    // The collection freed little next to what lives: without more room the next
                    // one would come after a small fraction of the live data was allocated again
                    // (when it freed nothing, after every frame: quadratic time for a growing heap).
                    if (n >= state.next_frame_size) state.next_frame_size = state.max_frame_size;
                    f = grow_frames(state.grow_hint, n);
                } else if (!f || size_t(f->end - f->free) < kMinFrameRoom) {
                    if (n >= state.next_frame_size) state.next_frame_size = state.max_frame_size;
                    // Refused by the system: the little room left still serves this request.
                    SeriesFrame* more = alloc_series_frame(true, n);
                    f = more ? more : f ? f : alloc_series_frame(false, n);
                }
            }
            state.series_current = f;
        }
        b = reinterpret_cast<SeriesBuf*>(f->free);
        f->free += n;
    }
    KEL_MEM_UNDEFINED(b, n);
    b->flags = uint32_t(unit) | series_flag::in_use | big | series_flag::fresh;
    if (offset == -1) {
        b->flags |= series_flag::middle;
        offset = static_cast<int32_t>(c / 2);
    }
    b->node = 0;
    b->capacity = c;
    b->head = b->tail = static_cast<uint32_t>(offset);
    b->spare = 0;
    return b;
}

Node alloc_series(int32_t units, int unit, int32_t offset) {
    // The node first: a collection run by the buffer allocation must not see a half-made pair.
    Node n = alloc_node();
    nodes[n] = nullptr;
    SeriesBuf* b;
    try {
        b = alloc_series_buffer(units, unit, offset);
    } catch (...) {
        free_node(n);  // a refused size must not leave a node in use without a buffer
        throw;
    }
    b->node = n;
    nodes[n] = b;
    return n;
}

Node alloc_fixed_series(int32_t units, int unit, int32_t offset) {
    int64_t bytes = int64_t(units) * unit;
    if (units < 0 || bytes > int64_t(0x7FFFFFF0)) fire(err::internal::no_memory);
    uint32_t c = static_cast<uint32_t>((bytes + 15) & ~int64_t(15));
    auto* b = static_cast<SeriesBuf*>(runtime::allocate(size_t(c) + sizeof(SeriesBuf)));
    b->flags = uint32_t(unit) | series_flag::in_use | series_flag::fresh | series_flag::fixed;
    b->capacity = c;
    b->head = b->tail = static_cast<uint32_t>(offset);
    b->spare = 0;
    Node n = alloc_node();
    b->node = n;
    nodes[n] = b;
    fixed_nodes.push_back(n);
    return n;
}

void clear_fixed_marks() {
    size_t kept = 0;
    for (Node n : fixed_nodes) {
        // A fixed series that grew lives in a frame now; its node may even serve another series.
        if (!node_in_use(n) || !(nodes[n]->flags & series_flag::fixed)) continue;
        nodes[n]->flags &= ~series_flag::mark;
        fixed_nodes[kept++] = n;
    }
    fixed_nodes.resize(kept);
}

Node alloc_cells(int32_t n) { return alloc_series(n, 16, 0); }

Node alloc_cells_unset(int32_t n) {
    Node node = alloc_series(n, 16, 0);
    SeriesBuf* b = nodes[node];
    Cell* c = cells_of(b);
    for (uint32_t i = 0; i < b->capacity / 16; i++) set_cell(c + i, TYPE_UNSET);
    return node;
}

Node alloc_bytes(int32_t n) { return alloc_series(n == 0 ? 16 : n, 1, 0); }

Node alloc_codepoints(int32_t n, int unit) { return alloc_series(n == 0 ? 16 / unit : n, unit, 0); }

Node alloc_bytes_filled(int32_t n, uint8_t byte) {
    Node node = alloc_bytes(n);
    SeriesBuf* b = nodes[node];
    std::memset(b->data(), byte, b->capacity);
    return node;
}

// Gives the node a new buffer of x bytes (0: twice the old capacity) and answers it; the old
// buffer, abandoned but not yet released, is left in *old. The allocation may collect, so the old
// buffer is fetched through the node only after it.
static SeriesBuf* move_to_new_buffer(Node n, uint32_t new_capacity, SeriesBuf** old_out) {
    uint64_t x = new_capacity;
    if (x == 0) {
        uint32_t cap = nodes[n]->capacity;
        x = cap == 0 ? 16 : uint64_t(cap) * 2;
    }
    if (x == 0 || x > 0x7FFFFFF0u) fire(err::internal::no_memory);
    uint32_t unit = nodes[n]->unit();
    SeriesBuf* fresh = alloc_series_buffer(static_cast<int32_t>((x + unit - 1) / unit), static_cast<int>(unit), 0);
    SeriesBuf* old = nodes[n];
    fresh->flags = (old->flags & ~(series_flag::big | series_flag::fixed)) |
                   (fresh->flags & series_flag::big) | series_flag::in_use;
    fresh->node = n;
    fresh->tail = fresh->head + (old->tail - old->head);
    nodes[n] = fresh;
    old->node = 0;
    old->flags &= ~series_flag::in_use;
    *old_out = old;
    return fresh;
}

// Releases an abandoned buffer that lives outside the frames at once; one in a frame stays as dead
// space until the next compaction (poisoned under collection torture).
static void drop_abandoned(SeriesBuf* old) {
    if (old->flags & series_flag::big) {
        free_big_region(old);
    } else if (old->flags & series_flag::fixed) {
        if (collector::torture) poison(old->data(), old->capacity);
        runtime::free(old);
    } else {
        if (collector::torture) poison(old->data(), old->capacity);
        // Dead space until the next compaction; the header stays readable for the frame walk.
        KEL_MEM_NOACCESS(old->data(), old->capacity);
    }
}

SeriesBuf* realloc_series(Node n, uint32_t new_capacity) {
    SeriesBuf* old;
    SeriesBuf* fresh = move_to_new_buffer(n, new_capacity, &old);
    drop_abandoned(old);
    return fresh;
}

SeriesBuf* expand_series(Node n, uint32_t new_capacity) {
    SeriesBuf* old;
    SeriesBuf* fresh = move_to_new_buffer(n, new_capacity, &old);
    uint32_t span = old->capacity - old->head;
    uint32_t room = fresh->capacity - fresh->head;
    if (span) std::memcpy(fresh->data() + fresh->head, old->data() + old->head, span <= room ? span : room);
    drop_abandoned(old);
    return fresh;
}

SeriesBuf* expand_series_filled(Node n, uint32_t new_capacity, uint8_t byte) {
    uint32_t old_capacity = nodes[n]->capacity;
    SeriesBuf* fresh = expand_series(n, new_capacity);
    uint32_t from = fresh->head + old_capacity;
    if (from < fresh->capacity) std::memset(fresh->data() + from, byte, fresh->capacity - from);
    return fresh;
}

Node copy_series(Node n) {
    uint32_t cap = nodes[n]->capacity;
    Node copy = alloc_series(static_cast<int32_t>(cap), 1, 0);
    SeriesBuf* src = nodes[n];
    SeriesBuf* dst = nodes[copy];
    // The copy belongs to nobody yet: it keeps the owner bits and the unit, not the ownership.
    dst->flags = (src->flags & ~(series_flag::owned | series_flag::big | series_flag::fixed | series_flag::mark)) |
                 (dst->flags & series_flag::big);
    dst->head = 0;
    dst->tail = src->tail - src->head;
    if (cap) std::memcpy(dst->data(), src->data() + src->head, cap - src->head);
    return copy;
}

void poison(void* first, size_t bytes) {
    KEL_MEM_UNDEFINED(first, bytes);  // the range may be marked dead: this write is allowed
    std::memset(first, kPoison, bytes);
}

bool verify(const char** problem) {
    for (SeriesFrame* f = state.series_first; f; f = f->next) {
        if (f->free < f->data() || f->free > f->end) return *problem = "frame free pointer outside the frame", false;
        for (uint8_t* p = f->data(); p < f->free;) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            size_t size = size_t(b->capacity) + sizeof(SeriesBuf);
            if (b->capacity % 16 || p + size > f->free) return *problem = "buffer runs past its frame", false;
            if (b->head > b->tail || b->tail > b->capacity) return *problem = "head or tail outside a buffer", false;
            if ((b->flags & series_flag::in_use) && b->node && nodes[b->node] != b)
                return *problem = "node does not lead back to its buffer", false;
            p += size;
        }
    }
    return true;
}

// Spare frames of the collection torture, poisoned and outside the frame list.
static std::vector<SeriesFrame*> spare_frames;

static SeriesFrame* take_spare(size_t n) {
    for (size_t i = 0; i < spare_frames.size(); i++) {
        SeriesFrame* f = spare_frames[i];
        if (f->free + n < f->end) {
            spare_frames[i] = spare_frames.back();
            spare_frames.pop_back();
            return f;
        }
    }
    size_t data_size = state.max_frame_size;
    auto* f = static_cast<SeriesFrame*>(os_allocate_frame(data_size + sizeof(SeriesFrame)));
    f->size = data_size + sizeof(SeriesFrame);
    f->free = f->data();
    f->end = f->data() + data_size;
    return f;
}

size_t most_nodes() { return max_nodes; }

void relocate_all() {
    std::vector<SeriesFrame*> targets;
    SeriesFrame* t = nullptr;
    for (SeriesFrame* f = state.series_first; f; f = f->next) {
        for (uint8_t* p = f->data(); p < f->free;) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            size_t n = size_t(b->capacity) + sizeof(SeriesBuf);
            p += n;
            if (!(b->flags & series_flag::in_use) || !b->node) continue;
            if (!t || !(t->free + n < t->end)) {
                t = take_spare(n);
                targets.push_back(t);
            }
            std::memcpy(t->free, b, n);
            nodes[b->node] = reinterpret_cast<SeriesBuf*>(t->free);
            t->free += n;
        }
    }
    for (SeriesFrame* f = state.series_first; f;) {
        SeriesFrame* next = f->next;
        poison(f->data(), size_t(f->end - f->data()));
        f->free = f->data();
        spare_frames.push_back(f);
        f = next;
    }
    if (targets.empty()) targets.push_back(take_spare(0));
    SeriesFrame* current = targets.back();
    std::sort(targets.begin(), targets.end());
    for (size_t i = 0; i < targets.size(); i++) {
        targets[i]->prev = i ? targets[i - 1] : nullptr;
        targets[i]->next = i + 1 < targets.size() ? targets[i + 1] : nullptr;
    }
    state.series_first = targets.front();
    state.series_last = targets.back();
    state.series_current = current;
}

void release_all_frames() {
    while (state.series_first) free_series_frame(state.series_first);
    while (state.big_first) free_big_region(state.big_first->buffer());
    for (SeriesFrame* f : spare_frames) os_free_frame(f);
    spare_frames.clear();
    state.node_first = state.node_last = state.node_current = nullptr;
}

void fill(uint8_t* first, uint8_t* last, uint8_t byte) {
    if (last > first) std::memset(first, byte, size_t(last - first));
}

void zero_range(uint32_t* first, uint32_t* last) {
    while (first < last) *first++ = 0;
}

uint8_t* fill_pattern(uint8_t* buffer, size_t n, size_t total) {
    if (n == 0 || total <= n) return buffer + total;
    // Each copy doubles the run already in place, so total bytes take about log2(total / n)
    // block copies.
    size_t done = n;
    while (done < total) {
        size_t chunk = done < total - done ? done : total - done;
        std::memcpy(buffer + done, buffer, chunk);
        done += chunk;
    }
    return buffer + total;
}

}  // namespace memory

namespace series {

void set_flags(Node n, uint32_t bits) { memory::nodes[n]->flags |= bits; }

SeriesBuf* reserve(Node node, uint32_t n) {
    SeriesBuf* b = memory::nodes[node];
    if (b->tail + uint64_t(n) <= b->capacity) return b;
    uint64_t need = uint64_t(b->tail) + n;
    uint64_t cap = b->capacity ? b->capacity : 16;
    // Start the new buffer at its data start: the head's offset is dropped by the expansion.
    need -= b->head;
    while (cap < need) cap *= 2;
    if (cap > 0x7FFFFFF0u) fire(err::internal::no_memory);
    return memory::expand_series(node, static_cast<uint32_t>(cap));
}

uint32_t alloc_tail_bytes(Node node, uint32_t n) {
    SeriesBuf* b = memory::nodes[node];
    if (b->tail + uint64_t(n) > b->capacity) {
        uint64_t grow = n > b->capacity ? uint64_t(b->capacity) + 2ull * n : 0;
        if (grow > 0x7FFFFFF0u) fire(err::internal::no_memory);
        b = memory::expand_series(node, static_cast<uint32_t>(grow));
        if (b->tail + uint64_t(n) > b->capacity) b = reserve(node, n);
    }
    uint32_t at = b->tail;
    b->tail += n;
    return at;
}

Node copy_part(Node node, int32_t offset, int32_t length) {
    // The part is clamped to the used data, so a caller's stale index never reads past the tail.
    SeriesBuf* from = memory::nodes[node];
    uint32_t unit = from->unit();
    int64_t available = int64_t(from->length());
    if (offset < 0) offset = 0;
    if (offset > available) offset = static_cast<int32_t>(available);
    if (length < 0) length = 0;
    if (length > available - offset) length = static_cast<int32_t>(available - offset);
    Node copy = memory::alloc_series(length, static_cast<int>(unit), 0);
    SeriesBuf* src = memory::nodes[node];
    SeriesBuf* dst = memory::nodes[copy];
    dst->flags = (src->flags & ~(series_flag::owned | series_flag::big | series_flag::fixed | series_flag::mark)) |
                 (dst->flags & series_flag::big) | series_flag::in_use;
    std::memcpy(dst->data(), src->at_head() + size_t(offset) * unit, size_t(length) * unit);
    dst->tail = static_cast<uint32_t>(length) * unit;
    return copy;
}

}  // namespace series
