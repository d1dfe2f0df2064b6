// Nodes, series buffers and the frames that hold them.
//
// Values never hold a buffer address: they hold a 32-bit node handle, and the node table maps the
// handle to the buffer's current address. A buffer can move when it grows or when the collector
// compacts its frame, so C++ code keeps (node, index) across anything that may allocate and
// fetches the address again afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

using Node = uint32_t;  // 0 is no node

// The series frames are carved out of big mappings and reused after compaction, so memcheck would
// take every byte in them for defined. Built with KEL_VALGRIND, a new buffer is marked undefined
// and dead space unaddressable, so a read of bytes never written (or of a buffer left behind by a
// move) shows up under valgrind. Elsewhere these do nothing.
#if KEL_VALGRIND
#include <valgrind/memcheck.h>
#define KEL_MEM_UNDEFINED(p, n) ((void)VALGRIND_MAKE_MEM_UNDEFINED((p), (n)))
#define KEL_MEM_NOACCESS(p, n) ((void)VALGRIND_MAKE_MEM_NOACCESS((p), (n)))
#else
#define KEL_MEM_UNDEFINED(p, n) ((void)0)
#define KEL_MEM_NOACCESS(p, n) ((void)0)
#endif

// Series buffer header; the data follows it. head and tail are byte offsets from the data start.
struct SeriesBuf {
    uint32_t flags;
    Node node;          // back-link; 0 once the buffer is abandoned
    uint32_t capacity;  // bytes, a multiple of 16
    uint32_t head;
    uint32_t tail;
    uint32_t spare;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    uint8_t* at_head() { return data() + head; }
    uint8_t* at_tail() { return data() + tail; }
    uint32_t unit() const { return flags & 0x1F; }
    uint32_t used_bytes() const { return tail - head; }
    // Units are powers of two in practice (1, 2, 4, 8, 16): a shift, not a division, on the paths
    // every series operation takes. A unit of 0 (a broken header) counts 32-byte units instead of
    // dividing by zero.
    uint32_t length() const {
        uint32_t u = unit(), bytes = tail - head;
        return (u & (u - 1)) == 0 ? bytes >> __builtin_ctz(u | 32) : bytes / u;
    }
    // Room left between the tail and the end of the data area, in bytes.
    uint32_t room() const { return capacity - tail; }
};
static_assert(sizeof(SeriesBuf) == 24);

namespace series_flag {
constexpr uint32_t unit_mask = 0x1F;
constexpr uint32_t owned = 0x00020000;       // owned by an object (ownership table has it)
constexpr uint32_t env_code = 0x00040000;    // code of the environment's own sources (and its copies)
constexpr uint32_t complement = 0x00080000;  // a complemented bitset
constexpr uint32_t fixed = 0x00100000;       // a heap block outside every frame; never moves
constexpr uint32_t big = 0x01000000;         // lives in a region of its own
constexpr uint32_t mark = 0x08000000;        // collector's mark
constexpr uint32_t middle = 0x10000000;      // head first placed at the middle
constexpr uint32_t fresh = 0x20000000;       // set at allocation
constexpr uint32_t in_use = 0x80000000;
// Bits free for the series' owners.
constexpr uint32_t owner_bits = ~(unit_mask | owned | env_code | complement | fixed | big | mark | middle | fresh | in_use);
}  // namespace series_flag

struct NodeFrame {
    NodeFrame* next;
    NodeFrame* prev;
    uint32_t capacity;      // always 10,000 nodes
    Node first;             // handle of the frame's first node
    Node free_head;         // 0 at the end of the free list
    uint32_t in_use;
    uint32_t cycle;         // collector's cycle count when made
    uint32_t in_use_before; // count at the previous node compaction
    uint32_t history;
    uint32_t releasing;
};

struct SeriesFrame {
    SeriesFrame* next;  // higher address
    SeriesFrame* prev;  // lower address
    size_t size;        // data size plus the header
    uint8_t* free;      // first unused byte
    uint8_t* end;       // just past the data
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct BigRegion {
    BigRegion* next;
    BigRegion* prev;
    size_t size;  // bytes as requested
    size_t spare;
    SeriesBuf* buffer() { return reinterpret_cast<SeriesBuf*>(this + 1); }
};

namespace memory {

constexpr uint32_t kNodesPerFrame = 10000;
constexpr size_t kDefaultFrameSize = 1048576;
constexpr size_t kMaxFrameSize = 2097152;
constexpr size_t kMinFrameRoom = 52428;  // a frame with less room than this is not reused

// The node table: slot h holds the buffer of node h. A free node holds (next free << 1) | 1.
extern SeriesBuf** nodes;

struct State {
    size_t total = 0;  // bytes obtained from the operating system
    NodeFrame* node_first = nullptr;
    NodeFrame* node_last = nullptr;
    NodeFrame* node_current = nullptr;
    SeriesFrame* series_first = nullptr;
    SeriesFrame* series_current = nullptr;
    SeriesFrame* series_last = nullptr;
    size_t default_frame_size = kDefaultFrameSize;
    size_t next_frame_size = kDefaultFrameSize;
    size_t max_frame_size = kMaxFrameSize;
    BigRegion* big_first = nullptr;
    BigRegion* big_last = nullptr;
    Node node_high = 1;  // next never-used node handle
    uint32_t frames_made = 0;
    // Room to add before the frames are next searched after a collection (see
    // measure_after_collection).
    size_t grow_hint = 0;
};
extern State state;
// Set by the entry point while the run-time and the environment are being built: memory refused
// then is a failed start, which ends the process as an exhausted heap rather than as an error
// that no script can catch yet.
extern bool starting;

inline SeriesBuf* buf(Node n) { return nodes[n]; }
inline bool node_in_use(Node n) { return (reinterpret_cast<uintptr_t>(nodes[n]) & 1) == 0 && nodes[n]; }

void init();
bool initialised();

Node alloc_series(int32_t units, int unit, int32_t offset);
SeriesBuf* alloc_series_buffer(int32_t units, int unit, int32_t offset);
Node alloc_fixed_series(int32_t units, int unit, int32_t offset);
Node alloc_cells(int32_t n);
Node alloc_cells_unset(int32_t n);
Node alloc_bytes(int32_t n);
Node alloc_codepoints(int32_t n, int unit);
Node alloc_bytes_filled(int32_t n, uint8_t byte);

// Moves the node's buffer to a new one of new_capacity bytes (0 doubles it). The content is
// not copied; the new head is at the data start and the used length is kept.
SeriesBuf* realloc_series(Node n, uint32_t new_capacity);
// realloc_series, then copies the old content from the old head up to the old buffer's end.
SeriesBuf* expand_series(Node n, uint32_t new_capacity);
SeriesBuf* expand_series_filled(Node n, uint32_t new_capacity, uint8_t byte);
// A new node and buffer with the same capacity, flags and content.
Node copy_series(Node n);

Node alloc_node();
void free_node(Node n);
NodeFrame* frame_of_node(Node n);
void compact_nodes();

// A new series frame of the next size (while the no-memory error is made, a small one holding
// at_least bytes). With may_fail, a refusal of the system gives null instead of raising no-memory.
SeriesFrame* alloc_series_frame(bool may_fail = false, size_t at_least = 0);
void free_series_frame(SeriesFrame* f);
SeriesFrame* find_series_frame(size_t n);
// After a collection: frames left empty go back to the operating system, except as many as keep
// the free room at the live bytes / kGrowthDivisor; when even that room is missing, the allocation
// that ran the collection adds frames for the difference. Collections then come after an amount
// of allocation proportional to the live data rather than every few hundred KiB.
constexpr size_t kGrowthDivisor = 1;
void measure_after_collection();

SeriesBuf* alloc_big_region(size_t bytes);
void free_big_region(SeriesBuf* b);
void sweep_big_series();

void* os_allocate_frame(size_t bytes);
// Raises no-memory as a refused allocation does (with the room kept back for making the error).
[[noreturn]] void out_of_memory();

// Repair work done after an error has already unwound the frames to its try (a hash! indexed
// anew after its sort failed) cannot raise another: that error would unwind them again, past the
// try that takes the first. While an AfterError lives, running out of memory ends the process
// with run-time error 94 instead.
struct AfterError {
    AfterError();
    ~AfterError();
    AfterError(const AfterError&) = delete;
    AfterError& operator=(const AfterError&) = delete;
};
bool after_error_active();
void os_free_frame(void* address);
void release_all_frames();

void fill(uint8_t* first, uint8_t* last, uint8_t byte);
void zero_range(uint32_t* first, uint32_t* last);
// Fills total bytes of buffer by repeating its first n bytes; returns buffer + total.
uint8_t* fill_pattern(uint8_t* buffer, size_t n, size_t total);

// Whether a buffer lies inside some series frame (not big, not fixed).
bool in_series_frames(const void* p);

// Fixed series are never moved or freed by the collector, but they are marked like any other:
// their marks are cleared here at the end of a collection.
void clear_fixed_marks();

// Fills vacated memory with a pattern that no valid header, offset or cell type has, so a pointer
// kept across a collection reads garbage that fails loudly. The collection-torture build uses it.
constexpr uint8_t kPoison = 0xDB;
void poison(void* first, size_t bytes);
// Checks the layout of every series frame: buffers inside their frame, head and tail inside their
// buffer, in-use buffers reached back from their node. False with a description when broken.
bool verify(const char** problem);
// Collection torture: moves every live buffer of the series frames into other frames and poisons
// the frames it vacated, so that no buffer address survives a collection.
void relocate_all();
// The most node handles there can be: a value needing more series than this cannot be made.
size_t most_nodes();

}  // namespace memory

namespace series {
void set_flags(Node n, uint32_t bits);
// Reserves n bytes at the tail (growing the buffer when needed) and returns their offset from the
// data start.
uint32_t alloc_tail_bytes(Node node, uint32_t n);
// A new series of length units of the same unit, copied from head + offset (units); the part is
// clamped to the data between head and tail.
Node copy_part(Node node, int32_t offset, int32_t length);
// Makes sure n more bytes fit after the tail; returns the (possibly moved) buffer.
SeriesBuf* reserve(Node node, uint32_t n);
}  // namespace series
