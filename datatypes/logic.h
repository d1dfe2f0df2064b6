// logic! values and the rule of truth: none and false are false, every other value is true.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace logic {

// The two global logic values.
extern const Cell true_cell;
extern const Cell false_cell;

Cell* make_at(Cell* c, bool truth);
Cell* make_in(Node block, bool truth);
Cell* push(bool truth);
// Result slot := logic!.
Cell* box(bool truth);
inline bool get(const Cell* c) { return c->data1 != 0; }

// Truth of a value with no unset check (unset counts as true): the rule of if, unless, any,
// all, not and remove-each.
inline bool truth(const Cell* c) {
    uint8_t t = c->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && c->data1 == 0));
}
// Truth of a value; with check set an unset value raises script no-value naming word.
bool true_value_q(const Cell* c, bool check, const Cell* word);
// Truth of a value (the result slot by default); an unset value raises script no-return. The
// rule of either, while, until and case.
bool true_q(const Cell* c);
bool true_q();
// The result slot holds none or false (no unset check).
bool false_q();
// Truth of the top cell of the data stack (the result slot when nothing is pushed above it).
bool top_true_q();
bool top_false_q();

// Actions.
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// random: /seed seeds with the truth word (unset result); else a fair coin.
void random(const int32_t* refs);
void complement(const int32_t* refs);
void and_(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);

void init();

}  // namespace logic
