// path!, lit-path!, set-path! and get-path!: blocks with their own evaluation rule and text
// form. The cell is a block cell (head index, node of a cell series) typed 25-28; most actions
// are block!'s, taken at registration, so path::init must run after block! has registered.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace path {

void init();

// Retypes the cell in place to the path type (header flags cleared) and pushes a copy.
Cell* push(Cell* c, uint8_t type = TYPE_PATH);
// An empty path! with room for n cells.
Cell* make_at(Cell* c, int32_t n, uint8_t type = TYPE_PATH);

// make and to of the four path types.
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

}  // namespace path
