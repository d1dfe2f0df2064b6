#include "datatypes/symbol.h"

#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace symbol {

Node block_node = 0;
Node table_node = 0;

static int32_t add(const char* text, size_t length, int32_t alias, const hashtable::SymbolFind& where) {
    // Text first: its allocation may move the symbol block.
    Node utf8 = memory::alloc_bytes(static_cast<int32_t>(length + 1));
    SeriesBuf* b = memory::nodes[utf8];
    std::memcpy(b->data(), text, length);
    b->data()[length] = 0;
    b->tail = static_cast<uint32_t>(length);
    // Growing the symbol block may collect: the text is not yet named by any cell.
    collector::NodeRoot keep(&utf8);
    Cell* c = block::alloc_tail(block_node);
    set_cell(c, TYPE_SYMBOL, static_cast<uint32_t>(alias), 0, utf8);
    int32_t id = block::node_length(block_node);
    hashtable::symbol_add(where, id);
    return id;
}

int32_t make_alt(const char* text, size_t length) {
    hashtable::SymbolFind found = hashtable::symbol_find(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(length), false);
    if (found.id > 0) return found.id;
    return add(text, length, found.alias > 0 ? found.alias : -1, found);
}

int32_t make(const char* text) { return make_alt(text, std::strlen(text)); }

int32_t make_from_string(const Cell* string_value) {
    std::string s = string::to_utf8(string_value);
    // A codepoint 0xDC00-0xDCFF (what stands for a byte of a name that is not UTF-8) has no
    // text that reads back: the symbol made could never be molded or formed. ED B0-B3 is its lead.
    for (size_t i = 0; i + 2 < s.size(); i++) {
        if (uint8_t(s[i]) == 0xED && (uint8_t(s[i + 1]) & 0xFC) == 0xB0) {
            Cell bytes;
            binary::load_at(&bytes, reinterpret_cast<const uint8_t*>(s.data() + i), 3);
            fire(err::access::invalid_utf8, &bytes);
        }
    }
    return make_alt(s.data(), s.size());
}

int32_t make_flagged(const char* text) {
    size_t length = std::strlen(text);
    hashtable::SymbolFind found = hashtable::symbol_find(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(length), true);
    if (found.alias > 0) return found.alias;
    return add(text, length, -1, found);
}

Cell* get(int32_t id) {
    get_string(id);
    return cell_of(id);
}

Node get_string(int32_t id) {
    Cell* c = cell_of(id);
    if (c->data2) return c->data2;
    // A copy: the UTF-8 text lives in a series that the new string's allocation may move.
    std::string t(text(id));
    Cell s;
    string::load_at(&s, t.data(), t.size());
    cell_of(id)->data2 = s.node();
    return s.node();
}

int32_t count() { return block::node_length(block_node); }

std::string_view text(int32_t id) {
    SeriesBuf* b = memory::nodes[cell_of(id)->data3];
    return std::string_view(reinterpret_cast<const char*>(b->at_head()), b->used_bytes());
}

std::string to_string(int32_t id) { return std::string(text(id)); }

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_SYMBOL) return -2;
    // Copies: the texts live in series that the strings' allocations may move.
    auto text_of = [](const Cell* c) {
        SeriesBuf* t = memory::nodes[c->data3];
        return std::string(reinterpret_cast<const char*>(t->at_head()), t->used_bytes());
    };
    Cell sa, sb;
    string::load_at(&sa, text_of(a));
    Cell* held = stack::push(&sa);  // keep the first text while the second is made
    string::load_at(&sb, text_of(b));
    int r = string::compare(held, &sb, op);
    stack::pop(1);
    return r;
}

void init_table() {
    table_node = hashtable::init(4000, nullptr, 2, 1);
    block_node = hashtable::block_of(table_node);
    hashtable::set_symbol_table(table_node);
    Known::intern_all();
}

void Known::intern_all() {
    for (Known* k = first_; k; k = k->next_) k->id();
}

void init() {
    datatype::Row row;
    row.set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_SYMBOL, 0, "symbol!", row);
}

}  // namespace symbol
