#include "datatypes/handle.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace handle {

const char* class_name(int32_t cls) {
    static const char* const names[] = {nullptr, "null", "fd", "monitor", "window", "font", "rich-text"};
    return cls >= 1 && cls <= kRichText ? names[cls] : nullptr;
}

Cell* make_at(Cell* c, int32_t value, int32_t cls) {
    return set_cell(c, TYPE_HANDLE, static_cast<uint32_t>(cls), static_cast<uint32_t>(value), 0xFFFFFFFFu);
}

Cell* push(int32_t value, int32_t cls) {
    Cell* slot = make_at(stack::arguments, value, cls);
    stack::keep();
    return slot;
}

Cell* make_in(Node block, int32_t value, int32_t cls) {
    Cell h;
    make_at(&h, value, cls);
    return block::append_cell(block, &h);
}

Cell* push_empty() { return make_at(stack::push_cell(), 0, 0); }

Cell* make(Cell* proto, Cell* spec, int type) {
    if (spec->type() != TYPE_INTEGER) {
        Cell t, s = *spec;
        datatype::make_at(&t, type);
        fire(err::script::bad_make_arg, &t, &s);
    }
    return make_at(proto, int_of(spec), kNone);
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    char text[9];
    string::byte_to_hex(static_cast<uint8_t>(value->data2 >> 24), text);
    string::byte_to_hex(static_cast<uint8_t>(value->data2 >> 16), text + 2);
    string::byte_to_hex(static_cast<uint8_t>(value->data2 >> 8), text + 4);
    string::byte_to_hex(static_cast<uint8_t>(value->data2), text + 6);
    text[8] = 'h';
    string::concatenate_literal_n(buffer, text, 9);
    return limit - 9;
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell* part, int limit, int) {
    if (!all) {
        string::concatenate_literal_n(buffer, "handle!", 7);
        return limit - 7;
    }
    string::concatenate_literal_n(buffer, "#[handle! ", 10);
    limit = form(value, buffer, part, limit - 10);
    if (const char* name = class_name(class_of(value))) {
        string::append_char(buffer, ' ');
        string::concatenate_literal(buffer, name);
        limit -= 1 + static_cast<int>(std::strlen(name));
    }
    string::append_char(buffer, ']');
    return limit - 1;
}

int compare(const Cell* a, const Cell* b, int) {
    if (b->type() != TYPE_HANDLE) return 1;
    int32_t x = value_of(a), y = value_of(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_HANDLE, TYPE_INTEGER, "handle!", row);
}

}  // namespace handle
