// Argument type checks that compiled functions and natives run on their arguments: one byte of
// the typeset is tested, and a refused value raises script expect-arg naming the running call,
// the value's datatype and the argument.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace typecheck {

// The value, when its type is in the typeset; else expect-arg with the word of argument index.
Cell* arg(const Cell* typeset, int index, Cell* value);
// position -1 (refinement not given) checks nothing; else the cell at stack::arguments +
// position is checked with arg.
void opt_arg(int position, const Cell* typeset, int index);
// Checks with arg only when the refinement cell is set (its truth word is nonzero).
Cell* ref_arg(const Cell* refinement, const Cell* typeset, int index, Cell* value);
// An unset value raises expect-arg with unset! as its datatype.
Cell* not_unset(int index, Cell* value);

}  // namespace typecheck
