#include "console/editor.h"

#include <climits>

#include "console/keys.h"
#include "console/terminal.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/output.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace editor {

// ---------------------------------------------------------------------------------------------
// The terminal

namespace {

void real_write(const char* bytes, size_t n) {
    output::write_bytes(bytes, n);
    output::flush();
}

void real_colour(const char* sequence, size_t n) { console::ansi_sequence(sequence, n, 1); }

bool real_size(int& columns, int& rows) {
    if (!terminal::window_size(columns, rows)) return false;
    terminal::publish_size(columns, rows);
    return true;
}

const Io real_io{terminal::read_key, real_write, real_colour, real_size, output::column};
const Io* io = &real_io;

// ---------------------------------------------------------------------------------------------
// Completion

void default_completer(Cell* out, const Cell* line_at_cursor) {
    block::make_new(out, 1);
    int32_t ctx_symbol = symbol::make("kel-complete-ctx");
    int32_t fn_symbol = symbol::make("complete-input");
    Cell* ctx = context::value_of_symbol(ctx_symbol, context::global_node);
    if (!ctx || ctx->type() != TYPE_OBJECT) return;
    Cell* fn = context::value_of_symbol(fn_symbol, ctx->data1);
    if (!fn || !types::any_function(fn->type())) return;
    Cell f = *fn;
    Cell line = *line_at_cursor;
    Cell console_q;
    set_cell(&console_q, TYPE_LOGIC, 1);
    collector::Root keep_f(&f);
    collector::Root keep_line(&line);
    const Cell* args[2] = {&line, &console_q};
    interpreter::call_with(out, &f, args, 2);
}

Completer completer = default_completer;

// ---------------------------------------------------------------------------------------------
// State

int32_t slot_line = -1, slot_history = -1, slot_prompt = -1, slot_saved = -1;

void ensure_slots() {
    if (slot_line >= 0) return;
    Cell none;
    set_cell(&none, TYPE_NONE);
    slot_line = root::keep(&none);
    slot_history = root::keep(&none);
    slot_prompt = root::keep(&none);
    Cell saved;
    string::make_at_unit(&saved, 16, 1);
    collector::Root keep(&saved);
    slot_saved = root::keep(&saved);
}

// Root cells are fetched again after anything that may allocate.
Cell* line() { return root::at(slot_line); }
Cell* history() { return root::at(slot_history); }
Cell* prompt() { return root::at(slot_prompt); }
Cell* saved() { return root::at(slot_saved); }

int32_t line_length() { return string::rs_abs_length_q(line()); }

struct Screen {
    int columns = 80;
    int rows = 24;
    int64_t origin = 0;    // position of the prompt's first cell (row 0)
    int64_t phys = 0;      // where the terminal's cursor is
    bool pending = false;  // the cursor sits in the last cell of the row before phys, waiting to wrap
    int64_t end = 0;       // position after the input, as last drawn
    bool end_pending = false;
};

Screen screen;
bool hidden = false;
int32_t cursor = 0;  // in characters from the line's first one
std::string out;     // bytes of one refresh, reused

// ---------------------------------------------------------------------------------------------
// Layout

// Characters of a string from a character index on; the buffer's address is fetched when the
// view is made and is good until the next allocation.
struct View {
    const uint8_t* p = nullptr;
    uint32_t unit = 1;
    int32_t len = 0;
    uint32_t at(int32_t i) const { return string::get_char(p + size_t(i) * unit, unit); }
};

View view_from(const Cell* s, int32_t from) {
    View v;
    if (!types::any_string(s->type())) return v;
    SeriesBuf* b = memory::nodes[s->node()];
    v.unit = string::text_unit(b);
    int32_t total = static_cast<int32_t>(b->length());
    if (from < 0) from = 0;
    if (from > total) from = total;
    v.p = b->at_head() + size_t(from) * v.unit;
    v.len = total - from;
    return v;
}

int wide_or_width(uint32_t c) {
    if (c >= 0x1F300 && c <= 0x1F5FF) return 2;
    return unicode::char_width(c);
}

bool is_control(uint32_t c) { return c < 32 || c == 127; }
bool shown_as_replacement(uint32_t c) { return (c >= 0x80 && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF; }

// Places glyphs from a start position and, when it has an output, writes them.
struct Walker {
    int columns;
    int64_t pos;
    bool pending = false;  // the last glyph that took cells filled its row exactly
    std::string* sink;     // null: measure only

    void glyph(int w, const char* bytes, size_t n) {
        if (w > 0) {
            pos = place(pos, w, columns);
            pending = pos % columns == 0;
        }
        if (sink) sink->append(bytes, n);
    }

    void utf8(uint32_t c, int w) {
        uint8_t b[4];
        int n = unicode::cp_to_utf8(c, b);
        glyph(w, reinterpret_cast<const char*>(b), size_t(n));
    }

    // A line feed in the prompt starts the next row; right after a row filled exactly, the
    // terminal is already waiting to wrap there.
    void newline() {
        if (!pending) pos = (pos / columns + 1) * columns;
        pending = false;
        if (sink) sink->append("\r\n");
    }

    // An escape sequence at v[i] (the ESC): ESC [ or ESC ( with digits and ";" up to a final
    // character. Colour sequences are carried out; others would move the cursor under the
    // editor's feet and are left out. Answers the characters taken after the ESC.
    int32_t escape(const View& v, int32_t i) {
        if (i + 1 >= v.len) return 0;
        uint32_t kind = v.at(i + 1);
        if (kind != '[' && kind != '(') return 0;
        int32_t k = i + 2;
        while (k < v.len && ((v.at(k) >= '0' && v.at(k) <= '9') || v.at(k) == ';')) k++;
        int32_t taken = (k < v.len ? k + 1 : k) - i - 1;
        if (sink && kind == '[' && k < v.len && v.at(k) == 'm' && k - i < 48) {
            char seq[48];
            size_t n = 0;
            for (int32_t j = i; j <= k; j++) seq[n++] = static_cast<char>(v.at(j));
            io->write(sink->data(), sink->size());
            sink->clear();
            io->colour(seq, n);
        }
        return taken;
    }

    // One character of the prompt or the line; answers the further characters it took.
    int32_t character(const View& v, int32_t i, bool hide, bool prompt_text) {
        uint32_t c = v.at(i);
        if (c == '\t') {
            for (int k = 0; k < 4; k++) glyph(1, hide ? "*" : " ", 1);
            return 0;
        }
        if (hide) {
            glyph(1, "*", 1);
            return 0;
        }
        if (c == 27) return escape(v, i);
        if (prompt_text && c == '\n') {
            newline();
            return 0;
        }
        if (prompt_text && c == '\r') return 0;
        if (is_control(c)) {
            char caret[2] = {'^', static_cast<char>(c == 127 ? '?' : c + 64)};
            glyph(1, caret, 1);
            glyph(1, caret + 1, 1);
            return 0;
        }
        if (shown_as_replacement(c)) {
            utf8(0xFFFD, 1);
            return 0;
        }
        utf8(c, wide_or_width(c));
        return 0;
    }

    // Answers where it stopped: past `to` when an escape sequence went on beyond it.
    int32_t run(const View& v, int32_t from, int32_t to, bool hide, bool prompt_text) {
        int32_t i = from;
        for (; i < to; i++) i += character(v, i, hide, prompt_text);
        return i;
    }
};

void append_number(std::string& s, int64_t n) { s += std::to_string(n); }

void csi(std::string& s, int64_t n, char final) {
    s += "\x1b[";
    append_number(s, n);
    s += final;
}

// Moves the terminal's cursor from screen.phys to target with relative moves only.
void move_cursor(int64_t target) {
    int columns = screen.columns;
    int64_t prow = screen.phys / columns, pcol = screen.phys % columns;
    if (screen.pending) {
        if (target == screen.phys) {
            // The row after a row that ended exactly exists only once something goes there.
            out += "\r\n";
            screen.pending = false;
            return;
        }
        prow -= 1;
        out += '\r';
        pcol = 0;
    }
    int64_t trow = target / columns, tcol = target % columns;
    if (trow < prow) csi(out, prow - trow, 'A');
    if (trow > prow) csi(out, trow - prow, 'B');
    if (tcol == 0 && pcol != 0) out += '\r';
    else if (tcol > pcol) csi(out, tcol - pcol, 'C');
    else if (tcol < pcol) csi(out, pcol - tcol, 'D');
    screen.phys = target;
    screen.pending = false;
}

// Where the cursor shows for a position: on a wide character that does not fit in the row's last
// cell, at the start of the next row.
int64_t cursor_target(int64_t cur) {
    int32_t len = line_length();
    if (cursor < len && !hidden && screen.columns - cur % screen.columns == 1) {
        View v = view_from(line(), 0);
        if (wide_or_width(v.at(cursor)) == 2) return cur + 1;
    }
    return cur;
}

void flush_out() {
    if (!out.empty()) io->write(out.data(), out.size());
    out.clear();
}

// Lays out prompt and line. With redraw, erases the input from the origin on and writes it all
// again; else only places the cursor.
void refresh(bool redraw) {
    if (redraw) {
        move_cursor(screen.origin);
        out += "\x1b[J";
    }
    Walker w{screen.columns, screen.origin, false, redraw ? &out : nullptr};
    View pv = view_from(prompt(), prompt()->index());
    w.run(pv, 0, pv.len, false, true);
    View lv = view_from(line(), 0);
    int32_t c = cursor < lv.len ? cursor : lv.len;
    int32_t reached = w.run(lv, 0, c, hidden, false);
    int64_t cur = w.pos;
    w.run(lv, reached, lv.len, hidden, false);
    screen.end = w.pos;
    screen.end_pending = w.pending;
    if (redraw) {
        screen.phys = screen.end;
        screen.pending = screen.end_pending;
    }
    move_cursor(cursor_target(cur));
    flush_out();
}

// The row holding the input's last cell, and the cursor at its start.
void cursor_below_input() {
    int64_t last = screen.end;
    if (screen.end_pending && last > screen.origin) last -= 1;
    move_cursor(last / screen.columns * screen.columns);
    flush_out();
}

void read_size() {
    int columns = screen.columns, rows = screen.rows;
    if (io->size(columns, rows)) {
        screen.columns = columns > 0 ? columns : 80;
        screen.rows = rows;
    }
    if (screen.columns <= 0) screen.columns = 80;
}

// Where the cursor is on a screen of the current width, the input laid out from the origin.
int64_t cursor_position() {
    Walker w{screen.columns, screen.origin, false, nullptr};
    View pv = view_from(prompt(), prompt()->index());
    w.run(pv, 0, pv.len, false, true);
    View lv = view_from(line(), 0);
    w.run(lv, 0, cursor < lv.len ? cursor : lv.len, hidden, false);
    return cursor_target(w.pos);
}

// ---------------------------------------------------------------------------------------------
// Line and history

void empty_line() {
    string::rs_reset(line());
    cursor = 0;
}

void set_line_text(const char* text) {
    empty_line();
    string::concatenate_literal(line()->node(), text);
    cursor = line_length();
}

// Appends a value's text to a string buffer: strings from their head, other values formed.
void append_text(Node target, const Cell* value) {
    Cell v = *value;
    collector::Root keep(&v);
    if (types::any_string(v.type())) string::append_string(target, &v);
    else actions::form(&v, target, nullptr, INT_MAX);
}

int32_t history_start = 0;  // the head index the history block had when it was stored

int32_t history_count() {
    Cell* h = history();
    if (!types::any_block(h->type())) return 0;
    int32_t n = block::node_length(h->node()) - history_start;
    return n > 0 ? n : 0;
}

void fetch_history(int32_t i) {
    empty_line();
    if (i < history_count()) {
        Cell entry = *block::node_cell(history()->node(), history_start + i);
        append_text(line()->node(), &entry);
    }
    cursor = line_length();
}

void add_history() {
    line()->set_index(0);
    if (hidden || line_length() == 0 || !types::any_block(history()->type())) return;
    if (history_count() > 0) {
        Cell* first = block::node_cell(history()->node(), history_start);
        if (types::any_string(first->type()) && string::compare_strings(first, line(), 2) == 0) return;
    }
    Cell entry = *line();
    block::insert_cell(history()->node(), history_start, &entry);
}

void empty_saved() { string::rs_reset(saved()); }

// ---------------------------------------------------------------------------------------------
// Keys

void insert_char(uint32_t c) {
    int32_t len = line_length();
    if (cursor >= len) {
        string::append_char(line()->node(), c);
        cursor = len + 1;
        if (screen.phys == screen.end) {
            // Typing at the end writes only the new character.
            View lv = view_from(line(), 0);
            Walker w{screen.columns, screen.end, screen.pending, &out};
            w.run(lv, len, len + 1, hidden, false);
            screen.phys = screen.end = w.pos;
            screen.pending = screen.end_pending = w.pending;
            // The cursor is the end, where the character left it: placing it needs no walk over
            // the whole line, which made a long paste slow down with every character.
            move_cursor(cursor_target(screen.end));
            flush_out();
            return;
        }
    } else {
        SeriesBuf* b = memory::nodes[line()->node()];
        string::insert_char(line()->node(), b->head / string::text_unit(b) + uint32_t(cursor), c);
        cursor++;
    }
    refresh(true);
}

// Tab: answers the number of candidates (0 when completion has nothing).
int32_t complete() {
    Cell at = *line();
    at.set_index(cursor);
    Cell result;
    set_cell(&result, TYPE_NONE);
    collector::Root keep_at(&at);
    collector::Root keep_result(&result);
    // Under a boundary frame of its own: a failing completion completes nothing, and the Tab goes
    // in as a character. A throw, break or continue out of a completion function stops there too:
    // under a mere try frame it looked for its target among the frames of the script that asked
    // for the line, and dropped them before the catch below took it.
    stack::Saved s = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_BOUNDARY);
    uint32_t code = catch_frame(codes::error, [&] { completer(&result, &at); });
    stack::restore(s);
    if (code) {
        runtime::sys.thrown = 0;
        return 0;
    }
    if (!types::any_block(result.type())) return 0;
    int32_t count = block::rs_length_q(&result);
    if (count <= 0) return 0;
    Cell first = *block::rs_head(&result);
    collector::Root keep_first(&first);
    int32_t h = types::any_string(first.type()) ? first.index() : 0;
    first.set_index(0);
    if (count == 1) {
        empty_line();
        append_text(line()->node(), &first);
        cursor = h;
        int32_t len = line_length();
        if (cursor > len) cursor = len;
    } else {
        // The completed text waits in the saved line for the next edit; the candidates are shown
        // in place of the input.
        empty_saved();
        append_text(saved()->node(), &first);
        saved()->set_index(h);
        empty_line();
        for (int32_t i = 1; i < count; i++) {
            Cell item = *(block::rs_head(&result) + i);
            append_text(line()->node(), &item);
            string::append_char(line()->node(), ' ');
        }
        cursor = line_length();
    }
    refresh(true);
    return count;
}

void resized() {
    read_size();
    // Terminals that re-wrap their lines on a resize keep the cursor on its character.
    screen.phys = cursor_position();
    screen.pending = false;
    if (screen.origin >= screen.columns) screen.origin %= screen.columns;
    refresh(true);
}

}  // namespace

Cell* line_cell() {
    ensure_slots();
    return line();
}

void set_io(const Io* i) { io = i ? i : &real_io; }
void set_completer(Completer c) { completer = c ? c : default_completer; }

void setup(const Cell* line_value, const Cell* history_value) {
    ensure_slots();
    *line() = *line_value;
    *history() = *history_value;
    history_start = types::any_block(history_value->type()) ? history_value->index() : 0;
    if (history_start < 0) history_start = 0;
}

End edit_line(const Cell* prompt_value, bool hide) {
    ensure_slots();
    *prompt() = *prompt_value;
    if (!types::any_string(prompt()->type())) string::make_at_unit(prompt(), 1, 1);
    if (!types::any_string(line()->type())) {
        Cell fresh;
        string::make_at_unit(&fresh, 16, 1);
        *line() = fresh;
    }
    hidden = hide;
    out.clear();
    read_size();

    // The input starts where the cursor stands; when that is not known, at the line's start.
    int64_t column = io->column();
    screen.pending = false;
    if (column < 0) {
        out += '\r';
        column = 0;
    }
    screen.origin = column % screen.columns;
    screen.pending = column > 0 && screen.origin == 0;
    screen.phys = screen.end = screen.origin;
    screen.end_pending = screen.pending;

    int32_t history_index = -1;
    int32_t n = history_count();

    cursor = line_length();
    if (string::rs_abs_length_q(saved()) > 0) {
        int32_t at = saved()->index();
        Cell text = *saved();
        text.set_index(0);
        collector::Root keep(&text);
        string::append_string(line()->node(), &text);
        cursor = at < 0 ? 0 : at;
        if (cursor > line_length()) cursor = line_length();
        saved()->set_index(0);
    }
    refresh(true);

    for (;;) {
        int32_t key = io->read_key();
        if (key == -1) {
            set_line_text("q");
            cursor_below_input();
            return End::terminal_gone;
        }
        if (key == terminal::kResized) {
            resized();
            continue;
        }
        if (key == terminal::kContinued) {
            refresh(true);
            continue;
        }
        if (key == keys::tab && !hidden) {
            int32_t candidates = complete();
            if (candidates > 1) {
                cursor_below_input();
                empty_line();
                return End::enter;
            }
            if (candidates == 1) continue;
        }
        int32_t len = line_length();
        switch (key) {
            case keys::enter:
                cursor_below_input();
                add_history();
                empty_saved();
                return End::enter;
            case 8:
            case 127:
                if (cursor > 0) {
                    cursor--;
                    string::remove_char(line(), cursor);
                    if (cursor == len - 1) {
                        refresh(false);
                        out += "\x1b[J";
                        flush_out();
                    } else {
                        refresh(true);
                    }
                }
                break;
            case keys::left:
            case 2:
                if (cursor > 0) {
                    cursor--;
                    refresh(false);
                }
                break;
            case keys::right:
            case 6:
                if (cursor < len) {
                    cursor++;
                    refresh(false);
                }
                break;
            case keys::down:
            case 14:
                history_index--;
                if (history_index < 0) {
                    history_index = -1;
                    empty_line();
                } else {
                    fetch_history(history_index);
                }
                refresh(true);
                break;
            case keys::up:
            case 16:
                if (history_index >= n - 1) {
                    empty_line();
                } else {
                    history_index++;
                    fetch_history(history_index);
                }
                refresh(true);
                break;
            case keys::home:
            case 1:
                cursor = 0;
                refresh(false);
                break;
            case keys::end:
            case 5:
                cursor = len;
                refresh(false);
                break;
            case keys::delete_:
                if (cursor < len) {
                    string::remove_char(line(), cursor);
                    refresh(true);
                }
                break;
            case 11:  // Ctrl-K
                if (cursor < len) {
                    string::remove_part(line(), cursor, len - cursor);
                    refresh(true);
                }
                break;
            case 4:  // Ctrl-D
                if (cursor < len) {
                    string::remove_char(line(), cursor);
                    refresh(true);
                } else if (len == 0) {
                    set_line_text("q");
                    cursor_below_input();
                    return End::quit;
                }
                break;
            case 3:  // Ctrl-C
                set_line_text("q");
                cursor_below_input();
                return End::quit;
            case keys::escape:
                cursor_below_input();
                empty_saved();
                string::append_char(line()->node(), 27);
                return End::escape;
            default:
                if (key == keys::tab || key > 31) insert_char(static_cast<uint32_t>(key));
                break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Width arithmetic

int char_cells(uint32_t cp, bool hide) {
    uint32_t text[1] = {cp};
    return static_cast<int>(measure(text, 1, 0, INT_MAX / 2, hide));
}

int64_t measure(const uint32_t* text, size_t n, int64_t start, int columns, bool hide) {
    View v;
    v.p = reinterpret_cast<const uint8_t*>(text);
    v.unit = 4;
    v.len = static_cast<int32_t>(n);
    Walker w{columns, start, false, nullptr};
    w.run(v, 0, v.len, hide, false);
    return w.pos;
}

}  // namespace editor
