#include "datatypes/datatype.h"

#include <cstring>

#include "runtime/print.h"
#include "runtime/runtime.h"

namespace datatype {

NameEntry* names = nullptr;
void** action_table = nullptr;
int top_id = 0;

void init_tables() {
    if (names) return;
    names = static_cast<NameEntry*>(runtime::allocate_zeroed(sizeof(NameEntry) * kTypeCount));
    action_table = static_cast<void**>(runtime::allocate_zeroed(sizeof(void*) * kTypeCount * 256));
}

void register_(int count, int type, int parent, const char* name, const intptr_t* slots) {
    if (type > top_id) top_id = type;
    names[type].name = name;
    names[type].length = static_cast<int32_t>(std::strlen(name)) - 1;
    if (count - 3 != kActionCount) {
        print_line({Typed::text("*** Datatype Error: invalid actions count for type: "), Typed::integer(type)});
        print_line({Typed::text("*** Found: "), Typed::integer(count - 3)});
        print_line({Typed::text("*** Expected: "), Typed::integer(kActionCount)});
        runtime::quit(0);
    }
    void** row = action_table + (type << 8);
    void** from = action_table + (parent << 8);
    for (int k = 0; k < kActionCount; k++) {
        if (parent && slots[k] == kInherit)
            row[k] = from[k];
        else
            row[k] = reinterpret_cast<void*>(slots[k]);
    }
}

void register_row(int type, int parent, const char* name, const Row& row) {
    register_(3 + kActionCount, type, parent, name, row.slots);
}

const char* name_of(int type_id) {
    if (type_id <= 0 || type_id >= kTypeCount || !names[type_id].name) return "";
    return names[type_id].name;
}

}  // namespace datatype

#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/stack.h"

namespace datatype {

Cell* make_at(Cell* c, int type_id) { return set_cell(c, TYPE_DATATYPE, static_cast<uint32_t>(type_id)); }

Cell* push(int type_id) { return make_at(stack::push_cell(), type_id); }

const char* const type_names[kTypeCount] = {
    nullptr,     "datatype!",  "unset!",    "none!",     "logic!",     "block!",    "paren!",    "string!",
    "file!",     "url!",       "char!",     "integer!",  "float!",     "symbol!",   "context!",  "word!",
    "set-word!", "lit-word!",  "get-word!", "refinement!", "issue!",   "native!",   "action!",   "op!",
    "function!", "path!",      "lit-path!", "set-path!", "get-path!",  "routine!",  "bitset!",   "triple!",
    "object!",   "typeset!",   "error!",    "vector!",   "hash!",      "pair!",     "percent!",  "tuple!",
    "map!",      "binary!",    "series!",   "time!",     "tag!",       "email!",    "handle!",   "date!",
    "port!",     "money!",     "ref!",      "point2D!",  "point3D!",   "image!",    "event!",    nullptr,
    nullptr,
};

// A type that is not registered yet (event! registers while the environment is built) still has
// its name.
static NameEntry unnamed_entry(const Cell* value) {
    if (value->data1 < kTypeCount && names[value->data1].name) return names[value->data1];
    NameEntry e{};
    e.name = value->data1 < kTypeCount && type_names[value->data1] ? type_names[value->data1] : "unknown!";
    e.length = static_cast<int32_t>(std::strlen(e.name)) - 1;
    return e;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    const NameEntry e = unnamed_entry(value);
    string::concatenate_literal_n(buffer, e.name, static_cast<size_t>(e.length));
    return limit - e.length;
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell*, int limit, int) {
    const NameEntry e = unnamed_entry(value);
    if (all) {
        string::concatenate_literal(buffer, "#(");
        string::concatenate_literal(buffer, e.name);
        string::concatenate_literal(buffer, ")");
        return limit - (e.length + 1) - 3;
    }
    string::concatenate_literal(buffer, e.name);
    return limit - (e.length + 1);
}

int compare(const Cell* a, const Cell* b, int op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_EQUAL_FIND: return b->type() == TYPE_DATATYPE && a->data1 == b->data1 ? 0 : 1;
        default: return -2;
    }
}

int compare_alike(const Cell* a, const Cell* b, int op) {
    return b->type() == a->type() && unordered_op(op) ? 0 : -2;
}

void init() {
    Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    register_row(TYPE_DATATYPE, 0, "datatype!", row);
}

void init_words() {
    // Every type id has its name, also a type whose module is not part of this run-time: its
    // values cannot be made, but the type is named in typesets and converts to a word.
    for (int t = 1; t < kTypeCount; t++) {
        if (names[t].name || !type_names[t]) continue;
        names[t].name = type_names[t];
        names[t].length = static_cast<int32_t>(std::strlen(type_names[t])) - 1;
        if (t > top_id) top_id = t;
    }
    for (int t = 1; t <= top_id; t++) {
        if (!names[t].name) continue;
        word::load(&names[t].word, names[t].name);
    }
}

}  // namespace datatype
