// In-place sorting of fixed-size records in a series buffer, driven by a comparison callback:
// a stable run-adaptive merge sort and a three-way quicksort that is not stable. The sorts see
// bytes, not values.
//
// The callback may run script code, which may allocate and so move the buffer: the sorts keep
// (node, byte offset) and fetch the buffer again after every call. The record addresses handed
// to the callback are valid when it starts; a callback that allocates copies the records first.
// A callback may throw (Throw): the records are then left as a permutation of the input, partly
// sorted, and the stable sort's temporary area is released. A callback may also reorder the
// records: no record is then lost or doubled (the stable sort moves records only between calls).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace sort {

// Above 0 when record a must come after record b, 0 when they are equal, below 0 when a comes
// first. op and flags are passed through from the sort call unchanged.
using Compare = int32_t (*)(const uint8_t* a, const uint8_t* b, intptr_t op, int32_t flags);

// Sorts `count` records of `width` bytes that start `offset` bytes after the data start of the
// node's buffer. Equal records keep their order. Needs a temporary area of count / 2 records
// (script too-long when that exceeds 31 bits). With cell_records the records are value cells
// (width a multiple of 16) and the collector marks those in the temporary area.
void stable(Node node, uint32_t offset, uint32_t count, uint32_t width, intptr_t op, int32_t flags,
            Compare cmp, bool cell_records = false);
// Same records, not stable, no allocation. Ordered and reverse-ordered input is recognised in one
// pass; nearly ordered input is finished by insertion.
void qsort(Node node, uint32_t offset, uint32_t count, uint32_t width, intptr_t op, int32_t flags,
           Compare cmp);

// Exchanges two records: 32 bits at a time, or byte by byte when bytewise.
void swap(uint8_t* a, uint8_t* b, uint32_t width, bool bytewise);

// Calls mark on the cell records held in the temporary areas of stable sorts in progress (cells
// taken out of the sorted buffer while a merge runs); the sort registers a collector marker that
// does this.
void mark_temp_areas(void (*mark)(Cell* first, Cell* end));

}  // namespace sort
