// The datatype registry: per type id a name entry and a row of 62 action slots, filled once by
// each datatype's registration. Inheritance is resolved by copying the parent's slots at
// registration, so dispatch is one indexed read.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "datatypes/cell.h"

// Action numbers (slot k holds action k + 1).
enum Action : int {
    ACT_MAKE = 1,
    ACT_RANDOM,
    ACT_REFLECT,
    ACT_TO,
    ACT_FORM,
    ACT_MOLD,
    ACT_EVAL_PATH,
    ACT_SET_PATH,
    ACT_COMPARE,
    ACT_ABSOLUTE,
    ACT_ADD,
    ACT_DIVIDE,
    ACT_MULTIPLY,
    ACT_NEGATE,
    ACT_POWER,
    ACT_REMAINDER,
    ACT_ROUND,
    ACT_SUBTRACT,
    ACT_EVEN_Q,
    ACT_ODD_Q,
    ACT_AND_T,
    ACT_COMPLEMENT,
    ACT_OR_T,
    ACT_XOR_T,
    ACT_APPEND,
    ACT_AT,
    ACT_BACK,
    ACT_CHANGE,
    ACT_CLEAR,
    ACT_COPY,
    ACT_FIND,
    ACT_HEAD,
    ACT_HEAD_Q,
    ACT_INDEX_Q,
    ACT_INSERT,
    ACT_LENGTH_Q,
    ACT_MOVE,
    ACT_NEXT,
    ACT_PICK,
    ACT_POKE,
    ACT_PUT,
    ACT_REMOVE,
    ACT_REVERSE,
    ACT_SELECT,
    ACT_SORT,
    ACT_SKIP,
    ACT_SWAP,
    ACT_TAIL,
    ACT_TAIL_Q,
    ACT_TAKE,
    ACT_TRIM,
    ACT_CREATE,
    ACT_CLOSE,
    ACT_DELETE,
    ACT_MODIFY,
    ACT_OPEN,
    ACT_OPEN_Q,
    ACT_QUERY,
    ACT_READ,
    ACT_RENAME,
    ACT_UPDATE,
    ACT_WRITE,
};
constexpr int kActionCount = 62;

// Comparison operator codes of the compare action.
enum CompareOp : int {
    COMP_EQUAL = 0,
    COMP_NOT_EQUAL = 1,
    COMP_STRICT_EQUAL = 2,
    COMP_LESSER = 3,
    COMP_LESSER_EQUAL = 4,
    COMP_GREATER = 5,
    COMP_GREATER_EQUAL = 6,
    COMP_SORT = 7,
    COMP_CASE_SORT = 8,
    COMP_SAME = 9,
    COMP_STRICT_EQUAL_WORD = 10,
    COMP_FIND = 11,
    COMP_EQUAL_FIND = 12,
};

// The operators that a type without an order answers (equality, identity and the sorts); the
// ordering ones (lesser? and its kin) it refuses with -2.
inline bool unordered_op(int op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SORT:
        case COMP_CASE_SORT:
        case COMP_SAME:
        case COMP_EQUAL_FIND: return true;
        default: return false;
    }
}

// Arithmetic, bitwise and set operation codes.
enum MathOp : int {
    OP_ADD = 0,
    OP_SUB = 1,
    OP_MUL = 2,
    OP_DIV = 3,
    OP_REM = 4,
    OP_OR = 5,
    OP_AND = 6,
    OP_XOR = 7,
    OP_UNIQUE = 8,
    OP_UNION = 9,
    OP_INTERSECT = 10,
    OP_EXCLUDE = 11,
    OP_DIFFERENCE = 12,
};

// Action implementation signatures.
//
// Most actions use the frame convention of natives: the arguments are the data-stack cells from
// stack::arguments on (argument 0 is also the result slot), and the implementation receives one
// integer per refinement of the action, in spec order: -1 when absent, else the index of the
// refinement's first argument cell (or a non-negative number when it takes none).
using ActionFn = void (*)(const int32_t* refs);
// make and to: the first cell holds the prototype (a datatype! or a value of the type) and
// receives the result; type is the target type id.
using MakeFn = Cell* (*)(Cell* proto, Cell* spec, int type);
// form: appends the value's text to the string buffer and returns limit minus what it appended.
// A /part limit is in force when part is not null; output stops once the budget is 0 or less.
using FormFn = int (*)(const Cell* value, Node buffer, const Cell* part, int limit);
using MoldFn = int (*)(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part,
                       int limit, int indent);
// compare: 0 equal, negative or positive for order (1 for different in equality-only types),
// -2 when the operator does not apply to the pair.
using CompareFn = int (*)(const Cell* a, const Cell* b, int op);

// One step of a path walk, handed to the path-access action of the current value's type.
struct PathStep {
    Cell* value;           // current value
    const Cell* element;   // the element, already evaluated
    const Cell* store;     // value to store, or null when reading
    const Cell* path;      // the whole path (for error reports), may be null
    Cell* parent;          // value the current value was selected from, may be null
    const Cell* previous;  // previous element, may be null
    int index;             // step index from 0; -1 for a direct call
    bool case_;
    bool get;
    bool last;             // last element of the path
    bool notify;           // a store that the owner must hear about
};
// Returns the selected (or stored) value; it may point at a cell it wrote (for example the
// result cell it was given, `out`).
using EvalPathFn = Cell* (*)(PathStep& step, Cell* out);

namespace datatype {

constexpr intptr_t kInherit = -1;

struct NameEntry {
    const char* name;     // with the final "!"
    int32_t length;       // length without "!"
    Cell word;            // the name's word (unset until words exist)
};

extern NameEntry* names;          // kTypeCount entries
extern void** action_table;       // kTypeCount rows of 256 slots
extern int top_id;                // largest type id registered so far
// The name of every type id, registered or not (54 types; 0 and the two spare entries null).
extern const char* const type_names[kTypeCount];

// Registers a type: count must be 65 (type, parent, name and the 62 slots). A slot is an
// implementation, 0 (unsupported) or kInherit (copy the parent's, as it stands now).
void register_(int count, int type, int parent, const char* name, const intptr_t* slots);
// Convenience: a row of 62 slots, all unsupported at first.
struct Row {
    intptr_t slots[kActionCount] = {};
    Row& set(int action, const void* fn) {
        slots[action - 1] = reinterpret_cast<intptr_t>(fn);
        return *this;
    }
    template <class F>
    Row& set(int action, F* fn) {
        slots[action - 1] = reinterpret_cast<intptr_t>(reinterpret_cast<const void*>(fn));
        return *this;
    }
    Row& inherit(std::initializer_list<int> actions) {
        for (int a : actions) slots[a - 1] = kInherit;
        return *this;
    }
};
void register_row(int type, int parent, const char* name, const Row& row);

void init_tables();
void init_words();
void init();  // registers datatype! itself

inline void* slot(int type, int action) { return action_table[(type << 8) + action - 1]; }

// datatype! values.
Cell* make_at(Cell* c, int type_id);
Cell* push(int type_id);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// compare for a type whose values are all alike (unset!, none!, event!): any two are equal under
// the equality and sort operators and have no order; -2 against a value of another type.
int compare_alike(const Cell* a, const Cell* b, int op);
// The type's name without "!" or with it.
const char* name_of(int type_id);

}  // namespace datatype
