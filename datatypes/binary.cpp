#include "datatypes/binary.h"

#include <cstring>

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace binary {

Cell* load_at(Cell* c, const uint8_t* bytes, size_t n) {
    Node node = memory::alloc_bytes(static_cast<int32_t>(n ? n : 1));
    SeriesBuf* s = memory::nodes[node];
    if (n) std::memcpy(s->data(), bytes, n);
    s->tail = static_cast<uint32_t>(n);
    return set_cell(c, TYPE_BINARY, 0, node);
}

int32_t rs_length_q(const Cell* value) {
    SeriesBuf* s = memory::nodes[value->node()];
    int64_t n = int64_t(s->used_bytes()) - (value->index() > 0 ? value->index() : 0);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

const uint8_t* rs_head(const Cell* value) {
    SeriesBuf* s = memory::nodes[value->node()];
    uint32_t i = value->index() > 0 ? static_cast<uint32_t>(value->index()) : 0;
    if (i > s->used_bytes()) i = s->used_bytes();
    return s->at_head() + i;
}

static void indent_to(Node buffer, int level) {
    for (int i = 0; i < level; i++) string::concatenate_literal_n(buffer, "    ", 4);
}

// Long binaries go on lines of 32 bytes, one level deeper than the value; the closing brace
// returns to the value's own level.
static int serialize(const Cell* value, Node buffer, bool only, bool flat, const Cell* part, int limit, int indent) {
    int32_t n = rs_length_q(value);
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    auto used = [&] { return static_cast<int32_t>(memory::nodes[buffer]->length()) - before; };
    bool lines = !flat && n >= 31;
    if (!only) string::concatenate_literal_n(buffer, "#{", 2);
    if (lines) {
        string::append_char(buffer, '\n');
        indent_to(buffer, indent + 1);
    }
    Node src = value->node();
    uint32_t head = static_cast<uint32_t>(value->index() > 0 ? value->index() : 0);
    char hex[64];
    for (int32_t i = 0; i < n;) {
        if (part && limit - used() <= 0) return limit - used();
        // A run of bytes up to the next line break goes in one append.
        int32_t run = 32 - (i % 32);
        if (run > n - i) run = n - i;
        const uint8_t* p = memory::nodes[src]->at_head() + head + uint32_t(i);
        for (int32_t k = 0; k < run; k++) string::byte_to_hex(p[k], hex + 2 * k);
        string::concatenate_literal_n(buffer, hex, size_t(run) * 2);
        i += run;
        if (lines && i % 32 == 0 && i < n) {
            string::append_char(buffer, '\n');
            indent_to(buffer, indent + 1);
        }
    }
    if (lines) {
        string::append_char(buffer, '\n');
        indent_to(buffer, indent);
    }
    if (!only) string::append_char(buffer, '}');
    return limit - used();
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return serialize(value, buffer, false, false, part, limit, 0);
}

int mold(const Cell* value, Node buffer, bool only, bool, bool flat, const Cell* part, int limit, int indent) {
    return serialize(value, buffer, only, flat, part, limit, indent);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_BINARY) return -2;
    if (a->node() == b->node() && a->index() == b->index()) return 0;
    if (op == COMP_SAME) return -1;
    int32_t la = rs_length_q(a), lb = rs_length_q(b);
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_EQUAL_FIND;
    if (equality && la != lb) return 1;
    int32_t n = la < lb ? la : lb;
    int r = n ? std::memcmp(rs_head(a), rs_head(b), size_t(n)) : 0;
    if (r) return r < 0 ? -1 : 1;
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_RANDOM, ACT_REFLECT, ACT_EVAL_PATH, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_FIND,
                 ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE,
                 ACT_REVERSE, ACT_SELECT, ACT_SORT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_BINARY, TYPE_STRING, "binary!", row);
}

}  // namespace binary
