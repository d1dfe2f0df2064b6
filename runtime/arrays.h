// Growable arrays of bytes or 32-bit words for the run-time's own bookkeeping.
//
// An array is a series node whose unit is its element size (1 or 4 bytes), so it grows, moves
// and is reclaimed like any series. Its elements lie between the buffer's head and tail. The
// "pointer" flavour holds 32-bit handles (nodes, table ids): nothing the run-time keeps in a
// series is a machine address.
#pragma once

#include <cstdint>

#include "runtime/memory.h"

namespace array {

// A new empty array with room for n elements of size bytes (1 or 4).
Node make(int32_t n, int size);
int32_t length_q(Node a);
void clear(Node a);
// Keeps the first i - 1 elements.
void set_tail_at(Node a, int32_t i);
Node copy(Node a);
uint32_t flags(Node a);

void append_byte(Node a, uint8_t byte);
// Appends len bytes copied from p and returns the address of the copy (valid until the next
// allocation). p must not point into a series buffer that the growth could release.
uint8_t* append_bytes(Node a, const void* p, int32_t len);
void append_int(Node a, int32_t v);
void append_ptr(Node a, uint32_t v);
// Inserts v before the 0-based element position (clamped to the array), moving the rest up.
void insert_int(Node a, int32_t v, int32_t position);

// Elements counted from 1. A position outside the array raises script out-of-range.
uint8_t pick_byte(Node a, int32_t i);
int32_t pick_int(Node a, int32_t i);
uint32_t pick_ptr(Node a, int32_t i);
void poke_int(Node a, int32_t i, int32_t v);

// Byte offset from the first element of the first element equal to v, or -1.
int32_t find_int(Node a, int32_t v);
int32_t find_ptr(Node a, uint32_t v);
// Removes count bytes at a byte offset (both clamped to the used bytes), moving the rest down.
void remove_at(Node a, int32_t offset, int32_t count);
// Removes the first element equal to v; answers its byte offset, or -1 when absent.
int32_t remove_ptr(Node a, uint32_t v);

}  // namespace array
