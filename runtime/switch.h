// The lookup behind switch: finds the value at stack::arguments among the cells of the block
// after it.
#pragma once

namespace switch_ {

// every_cell: test every cell from the block's head (else every second one, the keys of key and
// value pairs). want_block: the answer is the first block! after the match (none when there is
// none); else the cell after the match, or the match itself when it is the last cell. A block!
// value is never found. With every_cell the answer (none without a match) is pushed; otherwise
// it goes to the result slot.
void find(bool every_cell, bool want_block);

}  // namespace switch_
