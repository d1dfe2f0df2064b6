#include "datatypes/file.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "runtime/fire.h"
#include "runtime/platform.h"
#include "runtime/stack.h"
#include "services/files.h"

namespace file {

// Characters below 127 that force the quoted form: those the URL table encodes, and those that
// end an unquoted file! literal although a URL may hold them ("(", ")", ":" and "@"), which would
// otherwise split the path in two when the molded text is loaded again.
// A lone surrogate forces them too: it has no UTF-8 form that the lexer takes back, so it is
// written as a hexadecimal escape, which only the quoted form reads.
static bool surrogate_q(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

static bool needs_quotes(uint32_t c) {
    return surrogate_q(c) || (c < 127 && (!url::plain_q(c) || c == '(' || c == ')' || c == ':' || c == '@'));
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    Cell v = *value;
    int32_t len = string::rs_length_q(&v);
    if (v.index() > static_cast<int32_t>(memory::nodes[v.node()]->length())) v.set_index(static_cast<int32_t>(memory::nodes[v.node()]->length()));
    if (part && limit >= 0 && limit < len) len = limit;
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    string::append_char(buffer, '%');
    if (len == 0) {
        string::concatenate_literal_n(buffer, "\"\"", 2);
        return limit - 3;
    }
    bool quote = false;
    SeriesBuf* s = memory::nodes[v.node()];
    uint32_t unit = s->unit();
    const uint8_t* p = s->at_head() + size_t(v.index()) * unit;
    for (int32_t i = 0; i < len && !quote; i++) quote = needs_quotes(string::get_char(p + size_t(i) * unit, unit));
    if (!quote) {
        string::append_string(buffer, &v, len);
    } else {
        // Inside the quotes the characters that would end or bend the text are escaped, so the
        // molded file loads back as the same path.
        string::append_char(buffer, '"');
        for (int32_t i = 0; i < len; i++) {
            s = memory::nodes[v.node()];
            uint32_t c = string::get_char(s->at_head() + (size_t(v.index()) + size_t(i)) * unit, unit);
            char esc[8];
            int n = 0;
            if (c == '"' || c == '^') {
                esc[n++] = '^';
                esc[n++] = static_cast<char>(c);
            } else if (c == '\n') {
                esc[n++] = '^';
                esc[n++] = '/';
            } else if (c == '\t') {
                esc[n++] = '^';
                esc[n++] = '-';
            } else if (c < 32 || c == 127 || surrogate_q(c)) {
                static const char digits[] = "0123456789ABCDEF";
                esc[n++] = '^';
                esc[n++] = '(';
                if (c > 0xFF) {
                    esc[n++] = digits[c >> 12];
                    esc[n++] = digits[(c >> 8) & 15];
                }
                esc[n++] = digits[(c >> 4) & 15];
                esc[n++] = digits[c & 15];
                esc[n++] = ')';
            }
            if (n)
                string::concatenate_literal_n(buffer, esc, size_t(n));
            else
                string::append_char(buffer, c);
        }
        string::append_char(buffer, '"');
    }
    int32_t appended = static_cast<int32_t>(memory::nodes[buffer]->length()) - before;
    return limit - appended;
}

void to_local(const Cell* file, Node dest, bool full) {
    Cell v = *file;
    if (full && (string::rs_length_q(&v) == 0 || string::rs_abs_at(&v, v.index()) != '/')) {
        // A current folder that no longer exists has no name: the path stays relative rather
        // than being put under the root.
        std::string dir = os::get_current_dir();
        if (!dir.empty()) {
            if (dir.back() != '/') dir += '/';
            string::append_os(dest, dir.data(), dir.size());
        }
    }
    string::append_string(dest, &v);
}

Cell* get_current_dir(Cell* out) {
    simple_io::current_dir(out);
    return out;
}

namespace {

// A logic! into the result slot.
void answer_logic(bool b) {
    set_cell(stack::arguments, TYPE_LOGIC, b ? 1 : 0);
    stack::keep();
}

int64_t count_arg(const Cell* args, int32_t ref, const char* name) {
    return ref < 0 ? -1 : simple_io::count_of(args + ref, name);
}

}  // namespace

void read(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (refs[5] >= 0) fire(err::internal::not_done);
    int64_t part = count_arg(args, refs[0], "part");
    int64_t seek = count_arg(args, refs[1], "seek");
    simple_io::read(args, args, part, seek, refs[2] >= 0, refs[3] >= 0);
    stack::keep();
}

void write(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (refs[6] >= 0 || refs[7] >= 0) fire(err::internal::not_done);
    simple_io::write(args, args + 1, refs[4] >= 0 ? args + refs[4] : nullptr, refs[5] >= 0 ? args + refs[5] : nullptr,
                     refs[0] >= 0, refs[3] >= 0, refs[1] >= 0);
    // The destination stays in the result slot.
    stack::keep();
}

void query(const int32_t*) {
    Cell* args = stack::arguments;
    simple_io::query(args, args);
    stack::keep();
}

void delete_(const int32_t*) { answer_logic(simple_io::delete_(stack::arguments)); }

void rename(const int32_t*) { answer_logic(simple_io::rename(stack::arguments, stack::arguments + 1)); }

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                 ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                 ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL,
                 ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_MOLD, mold)
        .set(ACT_DELETE, delete_)
        .set(ACT_QUERY, query)
        .set(ACT_READ, read)
        .set(ACT_RENAME, rename)
        .set(ACT_WRITE, write);
    datatype::register_row(TYPE_FILE, TYPE_URL, "file!", row);
}

}  // namespace file
