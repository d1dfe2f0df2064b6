#include "evaluator/natives_system.h"

#include <algorithm>
#include <sys/stat.h>

#include <cmath>
#include <ctime>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_values.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memstats.h"
#include "runtime/platform.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "services/files.h"
#include "services/process.h"
#include "datatypes/binary.h"

extern char** environ;

namespace natives {

enum : int {
    N_TO_LOCAL_FILE = 85, N_WAIT, N_SET_ENV = 93, N_GET_ENV, N_LIST_ENV, N_NOW, N_CALL = 99, N_SIZE = 101, N_BROWSE = 102, N_RECYCLE = 105,
    N_TRANSCODE, N_APPLY,
};

// The bytes of an environment variable's name given as a string or a word.
static std::string name_text(const Cell* v) {
    if (types::any_word(v->type())) return std::string(symbol::text(static_cast<int32_t>(v->data2)));
    return string::to_os(v);
}

// ---- Files ----

void to_local_file(int check, const int32_t* refs) {
    if (check) check_args(N_TO_LOCAL_FILE, refs);
    Cell* args = stack::arguments;
    // POSIX paths are already in the local form; /full puts the current folder before a
    // relative one; a current folder that no longer exists has no name, so the path stays relative.
    // The characters are copied as they are: a name's odd bytes (see string::append_os) stay.
    int32_t length = string::rs_length_q(args);
    Node path = string::make_node(length + 1);
    collector::NodeRoot keep(&path);
    if (refs[0] >= 0 && (length == 0 || string::rs_abs_at(args, args->index()) != '/')) {
        std::string dir = os::get_current_dir();
        if (!dir.empty()) {
            if (dir.back() != '/') dir += '/';
            string::append_os(path, dir.data(), dir.size());
        }
    }
    string::append_string(path, args);
    string::make_at(args, path);
    stack::keep();
}

// A folder name: ends in a slash, is one or two dots, or ends in a slash and one or two dots.
static bool dir_name_q(const std::string& s) {
    if (s.empty()) return false;
    if (s.back() == '/' || s == "." || s == "..") return true;
    auto ends = [&](const char* t) {
        size_t n = std::char_traits<char>::length(t);
        return s.size() >= n && s.compare(s.size() - n, n, t) == 0;
    };
    return ends("/.") || ends("/..");
}

void size_q(int check, const int32_t* refs) {
    if (check) check_args(N_SIZE, refs);
    std::string path = string::to_os(stack::arguments);
    struct stat st {};
    // A NUL would cut the name short and answer the size of another file.
    if (dir_name_q(path) || path.find('\0') != std::string::npos || stat(path.c_str(), &st) != 0 ||
        S_ISDIR(st.st_mode) || st.st_size < 0)
        return set_none();
    double size = double(st.st_size);
    if (size > 2147483647.0) return set_float(size);
    set_integer(static_cast<int32_t>(st.st_size));
}

// ---- wait ----

void wait(int check, const int32_t* refs) {
    if (check) check_args(N_WAIT, refs);
    Cell* args = stack::arguments;
    double seconds;
    switch (args->type()) {
        case TYPE_INTEGER: seconds = double(args->i1()); break;
        case TYPE_FLOAT:
        case TYPE_TIME: seconds = args->f(); break;
        default: {
            Cell v = *args;
            fire(err::script::invalid_arg, &v);
        }
    }
    set_none();
    if (std::isnan(seconds)) seconds = 0.0;
    // Programs that call started without waiting are collected while the script waits: one that
    // ended would otherwise stay a zombie for as long as the wait lasts. The wait is cut into
    // slices only while such a child is left, and measured on the clock so that it lasts as
    // long as asked.
    constexpr double kReapEvery = 0.5;
    process::reap();
    if (process::unreaped() && seconds > kReapEvery) {
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        auto left = [&] {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            return seconds - (double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9);
        };
        while (process::unreaped() && left() > kReapEvery) {
            os::wait(kReapEvery);
            process::reap();
        }
        // The rest to the nearest millisecond: the wait counts whole ones and would cut it.
        seconds = left();
        if (seconds > 0.0) os::wait(seconds + 0.0005);
    } else {
        os::wait(seconds);
    }
    process::reap();
    if (wait_events) wait_events();
}

// ---- Environment ----

void set_env(int check, const int32_t* refs) {
    if (check) check_args(N_SET_ENV, refs);
    Cell* args = stack::arguments;
    std::string name = name_text(args);
    if (args[1].type() == TYPE_STRING) {
        std::string value = string::to_os(args + 1);
        os::set_env(name, &value);
    } else {
        os::set_env(name, nullptr);
    }
    *args = args[1];
    stack::keep();
}

void get_env(int check, const int32_t* refs) {
    if (check) check_args(N_GET_ENV, refs);
    std::string value;
    if (!os::get_env(name_text(stack::arguments), value)) return set_none();
    string::load_os_at(stack::arguments, value);
    stack::keep();
}

void list_env(int check, const int32_t* refs) {
    if (check) check_args(N_LIST_ENV, refs);
    int32_t count = 0;
    for (char** e = environ; e && *e; e++) count++;
    Cell* result = stack::push_cell();
    set_cell(result, TYPE_NONE);
    map::make_new(result, count);
    for (char** e = environ; e && *e; e++) {
        std::string_view item(*e);
        // The first "=" past the first character separates: a name may begin with "=".
        size_t eq = item.find('=', 1);
        if (eq == std::string_view::npos) continue;
        Cell* key = stack::push_cell();
        set_cell(key, TYPE_NONE);
        string::load_os_at(key, item.substr(0, eq));
        Cell* value = stack::push_cell();
        set_cell(value, TYPE_NONE);
        string::load_os_at(value, item.substr(eq + 1));
        // Names that differ only in letter case are different variables here, so each keeps
        // its own entry and value.
        map::put_value(result, key, value, true);
        stack::top = key;
    }
    *stack::arguments = *result;
    stack::keep();
}

// ---- Processes ----

// An output target only says where to: its own content is not sent anywhere.
static void stream_of(const Cell* v, process::Stream& s, bool input) {
    if (!input && v->type() != TYPE_FILE) {
        s.target = process::Target::Data;
        return;
    }
    switch (v->type()) {
        case TYPE_FILE:
            s.target = process::Target::File;
            s.data = simple_io::os_path(v);
            break;
        case TYPE_BINARY:
            s.target = process::Target::Data;
            s.data.assign(reinterpret_cast<const char*>(binary::rs_head(v)), size_t(binary::rs_length_q(v)));
            break;
        default:
            s.target = process::Target::Data;
            s.data = string::to_utf8(v);
            break;
    }
}

// Captured bytes go in front of the target's position; nothing happens for an empty capture.
// Text from the shell or the console drops every CR, as console text does; a program started
// directly only has its CR LF line ends folded. A leading byte-order mark is dropped. Bytes that
// are not UTF-8 are kept as string::append_os keeps them: a file name that a program printed
// still names its file.
static void put_capture(Cell* target, const std::string& bytes, bool drop_cr) {
    if (bytes.empty()) return;
    if (target->type() == TYPE_BINARY) {
        binary::rs_insert(target, 0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        return;
    }
    Cell* text = stack::push_cell();
    set_cell(text, TYPE_NONE);
    std::string folded;
    folded.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); i++)
        if (bytes[i] != '\r' || (!drop_cr && (i + 1 == bytes.size() || bytes[i + 1] != '\n'))) folded += bytes[i];
    size_t skip = folded.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    string::load_os_at(text, folded.data() + skip, folded.size() - skip);
    string::insert(target, text, -1, false, 1);
    stack::top = text;
}

void call(int check, const int32_t* refs) {
    if (check) check_args(N_CALL, refs);
    enum { WAIT, SHOW, CONSOLE, SHELL, INPUT, OUTPUT, ERROR };
    Cell* args = stack::arguments;
    process::Launch launch;
    launch.command = string::to_os(args);
    launch.program = args->type() == TYPE_FILE;
    if (launch.command.empty()) return set_integer(0);
    launch.wait = refs[WAIT] >= 0;
    launch.console = refs[CONSOLE] >= 0;
    launch.shell = refs[SHELL] >= 0;
    if (refs[INPUT] >= 0) stream_of(args + refs[INPUT], launch.input, true);
    if (refs[OUTPUT] >= 0) stream_of(args + refs[OUTPUT], launch.output, false);
    if (refs[ERROR] >= 0) stream_of(args + refs[ERROR], launch.error, false);
    int64_t result = process::run(launch);
    // The argument cells stay on the data stack, so the targets are reachable while the text is
    // put into them.
    bool drop_cr = launch.console || launch.used_shell;
    if (launch.output.target == process::Target::Data)
        put_capture(stack::arguments + refs[OUTPUT], launch.output.data, drop_cr);
    if (launch.error.target == process::Target::Data)
        put_capture(stack::arguments + refs[ERROR], launch.error.data, drop_cr);
    set_integer(result < INT32_MIN || result > INT32_MAX ? -1 : static_cast<int32_t>(result));
}

void browse(int check, const int32_t* refs) {
    if (check) check_args(N_BROWSE, refs);
    // Failure to reach a handler is not an error: the answer is not looked at.
    process::open_document(simple_io::os_path(stack::arguments));
    set_unset();
}

// ---- now ----

void now(int check, const int32_t* refs) {
    if (check) check_args(N_NOW, refs);
    enum { YEAR, MONTH, DAY, TIME, ZONE, DATE, WEEKDAY, YEARDAY, PRECISE, UTC };
    auto has = [refs](int r) { return refs[r] >= 0; };
    if (!(has(TIME) && has(PRECISE))) {
        int fields = 0;
        for (int r = YEAR; r <= PRECISE; r++) fields += has(r);
        if (fields >= 2) fire(err::script::bad_refines);
    }
    // One reading of the clock serves the date, the zone and the time of day.
    struct timespec ts {};
    read_clock(&ts);
    time_t seconds = ts.tv_sec;
    struct tm t {};
    long offset = 0;  // seconds east of UTC
    if (has(UTC)) {
        gmtime_r(&seconds, &t);
    } else {
        localtime_r(&seconds, &t);
        offset = t.tm_gmtoff;
    }
    uint32_t zone = has(UTC) ? 0 : os::pack_zone(static_cast<int>(offset / 60));
    uint32_t packed = (static_cast<uint32_t>(t.tm_year + 1900) << 17) | (static_cast<uint32_t>(t.tm_mon + 1) << 12) |
                      (static_cast<uint32_t>(t.tm_mday) << 7);
    Cell* args = stack::arguments;
    if (has(DATE)) {
        set_cell(args, TYPE_DATE, packed);
        args->set_f(0.0);
        return stack::keep();
    }
    double local = double(t.tm_hour) * 3600.0 + double(t.tm_min) * 60.0 + double(t.tm_sec);
    if (has(PRECISE)) local += double(ts.tv_nsec) / 1e9;
    // The stored time is universal: local time = stored time + zone offset. It is taken from the
    // real offset, not from the zone bits, so that an offset they cannot hold (not whole quarter
    // hours, or beyond 15:45) still gives the right instant; the clock reading then follows the
    // zone bits, which may move it across midnight.
    set_cell(args, TYPE_DATE, packed | date::time_flag | zone);
    date::normalize(args, local - double(offset), false);
    int field = has(YEAR)      ? date::F_YEAR
                : has(MONTH)   ? date::F_MONTH
                : has(DAY)     ? date::F_DAY
                : has(ZONE)    ? date::F_ZONE
                : has(TIME)    ? date::F_TIME
                : has(WEEKDAY) ? date::F_WEEKDAY
                : has(YEARDAY) ? date::F_YEARDAY
                               : 0;
    if (field) date::get_field(args, field, args);
    stack::keep();
}

// ---- recycle ----

void recycle(int check, const int32_t* refs) {
    if (check) check_args(N_RECYCLE, refs);
    if (refs[0] >= 0 || refs[1] >= 0) {
        collector::enabled = refs[0] >= 0;
        return set_unset();
    }
    // One collection whether or not automatic collection is on.
    collector::do_cycle();
    double used = memstats::collect(0, 0, 1);
    if (used > 2147483647.0) return set_float(used);
    set_integer(static_cast<int32_t>(used));
}

// ---- transcode ----

// The type argument of a trace event for an untyped token t: entry t of
// system/lexer/exit-states, which a script may rename or replace. Past its end, or when it is
// no block, the type is none.
static void token_kind(int32_t t, Cell* out) {
    static const symbol::Known sym_system("system"), sym_lexer("lexer"), sym_exit_states("exit-states");
    set_cell(out, TYPE_NONE);
    if (t < 1 || !context::global_node) return;
    auto field = [](const Cell* object, int32_t symbol) -> const Cell* {
        if (!object || object->type() != TYPE_OBJECT) return nullptr;
        return context::value_of_symbol(symbol, object->data1);
    };
    const Cell* sys = context::value_of_symbol(sym_system, context::global_node);
    const Cell* states = field(field(sys, sym_lexer), sym_exit_states);
    if (!states || states->type() != TYPE_BLOCK || t > block::rs_length_q(states)) return;
    *out = block::rs_head(states)[t - 1];
}

// Calls a script-level trace callback for one lexer event; its answer steers the lexer. A
// function! callback is called with its frame built here, so that a move of its `input`
// argument can be read back before the frame goes: the scan resumes at the new index.
static bool call_trace(const Cell* callback, const Cell* source, lexer::TraceEvent& e) {
    static const char* const events[6] = {"prescan", "scan", "load", "open", "close", "error"};
    Cell* base = stack::top;
    Cell* fn = stack::push(callback);
    // Each cell holds none until loaded: loading a word may allocate, and the collector marks it.
    Cell* name = set_cell(stack::push_cell(), TYPE_NONE);
    word::load(name, "<lexer-callback>");
    Cell* args = stack::top;
    Cell* event = set_cell(stack::push_cell(), TYPE_NONE);
    word::load(event, events[__builtin_ctz(e.event)]);
    Cell* input = stack::push(source);
    int32_t head = input->index() > 0 ? input->index() : 0;
    input->set_index(head + e.input);
    Cell* type = set_cell(stack::push_cell(), TYPE_NONE);
    if (e.type < 0)
        token_kind(-e.type, type);
    else if (e.type == 0)
        set_cell(type, TYPE_NONE);
    else
        datatype::make_at(type, e.type);
    Cell* line = stack::push_cell();
    set_cell(line, TYPE_INTEGER, static_cast<uint32_t>(e.line));
    Cell* token = stack::push_cell();
    if (e.event == lexer::EV_LOAD)
        *token = e.value;
    else
        set_cell(token, TYPE_PAIR, 0, static_cast<uint32_t>(e.start + 1), static_cast<uint32_t>(e.end + 1));
    Cell answer;
    set_cell(&answer, TYPE_NONE);
    if (fn->type() == TYPE_FUNCTION) {
        stack::top = args;
        stack::mark_interp_func(name);
        Frame* f = stack::ctop - 1;
        f->function_context = fn->data1;
        f->saved_values = context::cell_of(fn->data1)->data2;
        stack::top = stack::arguments + 5;
        int32_t locals = function::count_locals(fn->data2, 0, false);
        if (locals > 0) function::init_locals(locals);
        interpreter::call_function(fn, fn->data1, name);
        const Cell* moved = stack::arguments + 1;
        if (moved->type() == source->type() && moved->node() == source->node() && moved->index() != head + e.input)
            e.resume = (moved->index() > head ? moved->index() : head) - head;
        answer = *stack::arguments;
        stack::pop_frame();
    } else {
        const Cell* call_args[5] = {event, input, type, line, token};
        Cell f = *fn;
        Cell* out = stack::push_cell();
        set_cell(out, TYPE_NONE);
        interpreter::call_with(out, &f, call_args, 5);
        answer = *out;
    }
    stack::top = base;
    return !(answer.type() == TYPE_NONE || (answer.type() == TYPE_LOGIC && answer.data1 == 0));
}

void transcode(int check, const int32_t* refs) {
    if (check) check_args(N_TRANSCODE, refs);
    enum { NEXT, ONE, PRESCAN, SCAN, PART, INTO, TRACE };
    auto has = [refs](int r) { return refs[r] >= 0; };
    Cell* args = stack::arguments;
    Cell* out = stack::push_cell();
    set_cell(out, TYPE_UNSET);
    bool next_block = has(NEXT) && (!has(ONE) || has(SCAN));
    // Clamp the source's index to its tail.
    int32_t total = static_cast<int32_t>(memory::nodes[args->node()]->length());
    if (args->index() > total) args->set_index(total);
    if (args->index() < 0) args->set_index(0);
    int32_t available = total - args->index();
    int32_t length = available;
    if (has(PART)) {
        const Cell* part = args + refs[PART];
        if (part->type() == TYPE_INTEGER) {
            length = part->i1();
        } else {
            if (part->type() != args->type()) fire(err::script::not_same_type);
            int32_t end = part->index() < total ? part->index() : total;
            length = end - args->index();
        }
        if (length < 0) length = 0;
        if (length > available) length = available;
    }
    // A UTF-8 byte-order mark at the start of binary input is skipped.
    if (args->type() == TYPE_BINARY && length > 2) {
        const uint8_t* p = memory::nodes[args->node()]->at_head() + args->index();
        if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            length -= 3;
            args->set_index(args->index() + 3);
        }
    }
    bool checking = has(PRESCAN) || has(SCAN);
    if (checking && length == 0) return set_none();
    lexer::Options options;
    options.one = has(NEXT) || has(ONE) || has(SCAN);
    options.load = !checking;
    options.prescan = has(PRESCAN);
    options.source = args;
    options.into = has(INTO) ? args + refs[INTO] : nullptr;
    lexer::Trace trace;
    if (has(TRACE)) {
        const Cell* callback = args + refs[TRACE];
        trace.callback = *callback;
        const Cell* body = function::body_of(callback);
        trace.mask = body ? lexer::mask_of_body(body) : lexer::EV_ALL;
        Cell* source = args;
        trace.fn = [callback, source](lexer::TraceEvent& e) { return call_trace(callback, source, e); };
        options.trace = &trace;
    }
    int32_t consumed = 0;
    int32_t type = lexer::scan_value(out, args, length, options, &consumed);
    if (checking) {
        if (type > 0)
            datatype::make_at(out, type);
        else if (type < 0)
            datatype::make_at(out, TYPE_ERROR);
        else
            set_cell(out, TYPE_NONE);
    }
    if (next_block) {
        Cell* value = stack::push(out);
        Cell* rest = stack::push(args);
        rest->set_index(args->index() + consumed);
        block::make_at(out, block::make_node(2));
        block::append_cell(out->node(), value);
        block::append_cell(out->node(), rest);
    }
    *args = has(INTO) ? args[refs[INTO]] : *out;
    stack::keep();
}

// ---- apply ----

void apply(int check, const int32_t* refs) {
    if (check) check_args(N_APPLY, refs);
    Cell* args = stack::arguments;
    // Both slots hold a value before anything can collect: the collector sees them at once.
    Cell* fn = set_cell(stack::push_cell(), TYPE_NONE);
    Cell* name = set_cell(stack::push_cell(), TYPE_NONE);
    Cell* path = nullptr;
    uint8_t t = args->type();
    if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD) {
        *fn = *context::get(args);
        *name = *args;
        name->header = TYPE_WORD;
    } else if (t == TYPE_PATH) {
        if (block::rs_length_q(args) == 0) fire(err::script::empty_path);
        const Cell* head = block::rs_head(args);
        if (!types::word_like(head->type())) fire(err::script::invalid_arg, args);
        *fn = *context::get(head);
        *name = *head;
        name->header = TYPE_WORD;
        path = args;
    } else {
        *fn = *args;
        word::load(name, "<applied>");
    }
    if (!types::any_function(fn->type())) {
        Cell v = *args;
        fire(err::script::invalid_arg, &v);
    }
    if (fn->type() == TYPE_OP) {
        uint8_t wrapped = native::op_wrapped(fn);
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE)
            *fn = *block::node_cell(fn->data3, function::MORE_OP);
        else
            fn->set_type(wrapped);
    }
    int mode = refs[0] >= 0 ? 1 : 2;
    if (refs[1] >= 0) mode += 4;
    stack::set_interp_flag();
    Cell* code = args + 1;
    // The args block is walked as a block of its own; the result lands where its cell was.
    Cell walked = *code;
    collector::Root keep(&walked);
    interpreter::trace_walk(interpreter::EV_ENTER, &walked, walked.index() > 0 ? walked.index() : 0, nullptr);
    // Measured after the event, whose callback may have changed the block.
    int32_t from = code->index() > 0 ? code->index() : 0;
    int32_t end = block::node_length(code->node());
    interpreter::eval_code(fn, code, from, end, false, path, 0, nullptr, mode, false, name);
    interpreter::trace_walk(interpreter::EV_EXIT, &walked, block::node_length(walked.node()), stack::arguments);
}

}  // namespace natives
