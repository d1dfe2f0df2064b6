// Symbols: interned names identified by a 1-based id. A text that differs from an earlier one
// only in ASCII letter case is a symbol of its own whose alias is the first-added variant, so
// case-insensitive comparison is one comparison of resolved ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "datatypes/cell.h"

namespace symbol {

extern Node block_node;  // the symbol block: symbol cells, never moved within, only appended
extern Node table_node;  // its lookup table

// Symbol cell: type 13, data1 alias (-1 when first of its case family), data2 string node (0
// until asked), data3 UTF-8 node (NUL kept just past the tail).
void init();        // registers symbol!
void init_table();  // makes the symbol block and its lookup table

int32_t make(const char* text);
int32_t make_alt(const char* text, size_t length);
inline int32_t make(std::string_view s) { return make_alt(s.data(), s.size()); }
int32_t make_from_string(const Cell* string_value);
int32_t make_flagged(const char* text);

// Address of the symbol cell (valid until the symbol block grows); makes its string node.
Cell* get(int32_t id);
Node get_string(int32_t id);
inline Cell* cell_of(int32_t id) { return cells_head(memory::nodes[block_node]) + (id - 1); }
inline int32_t resolve(int32_t id) {
    int32_t alias = static_cast<int32_t>(cell_of(id)->data1);
    return alias > 0 ? alias : id;
}
inline int32_t alias_of(int32_t id) { return static_cast<int32_t>(cell_of(id)->data1); }
int32_t count();

// The UTF-8 text of a symbol.
std::string_view text(int32_t id);
std::string to_string(int32_t id);

int compare(const Cell* a, const Cell* b, int op);

// A symbol the run-time refers to by name. Every one is interned as soon as the symbol table
// exists, so reading it never allocates afterwards (callers may hold cell addresses across it).
class Known {
public:
    explicit Known(const char* text) : text_(text), next_(first_) { first_ = this; }
    int32_t id() const { return id_ ? id_ : (id_ = make(text_)); }
    operator int32_t() const { return id(); }
    // Whether a word's symbol is this one, ignoring case.
    bool is(const Cell* word) const { return resolve(static_cast<int32_t>(word->data2)) == resolve(id()); }
    static void intern_all();

private:
    const char* text_;
    mutable int32_t id_ = 0;
    Known* next_;
    static inline Known* first_ = nullptr;
};

}  // namespace symbol
