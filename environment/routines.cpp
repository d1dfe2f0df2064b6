// Routines: the environment's functions whose code is the run-time's own. Each reads its
// arguments from stack::arguments and leaves its result in the first argument cell.
#include "environment/routines.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/image.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loading/kelbin.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "services/files.h"
#include "services/os_info.h"
#include "tui/backend.h"

namespace env_routines {

static Cell* arg(int i) { return stack::arguments + i; }
static void result_logic(bool b) {
    set_cell(stack::arguments, TYPE_LOGIC, b ? 1 : 0);
    stack::keep();
}
static void result_integer(int32_t v) {
    set_cell(stack::arguments, TYPE_INTEGER, static_cast<uint32_t>(v));
    stack::keep();
}
static void result_none() {
    set_cell(stack::arguments, TYPE_NONE);
    stack::keep();
}

[[noreturn]] static void expect(int argument, int allowed_type) {
    Cell name, type, word;
    stack::get_call_name(&name);
    datatype::make_at(&type, allowed_type);
    error::get_call_argument(argument, &word);
    fire(err::script::expect_arg, &name, &type, &word);
}

static void quit_return() { runtime::exit_with(arg(0)->i1()); }

static void set_quiet() {
    Cell w = *arg(0), v = *arg(1);
    if (!types::word_like(w.type()) || w.type() == TYPE_REFINEMENT) expect(0, w.type());
    context::set_in(&w, &v, w.data1, false);
    *stack::arguments = v;
    stack::keep();
}

static void set_slot_quiet() {
    Cell* s = arg(0);
    if (!types::any_block(s->type()) || s->type() == TYPE_HASH) expect(0, TYPE_BLOCK);
    if (block::rs_length_q(s) > 0) *block::rs_head(s) = *arg(1);
    stack::keep();
}

static int32_t shift(int32_t data, int32_t bits, int kind) {
    if (bits < 0) bits = 0;
    auto u = static_cast<uint32_t>(data);
    switch (kind) {
        case 0: return bits >= 32 ? (data < 0 ? -1 : 0) : data >> bits;
        case 1: return bits >= 32 ? 0 : static_cast<int32_t>(u << bits);
        default: return bits >= 32 ? 0 : static_cast<int32_t>(u >> bits);
    }
}
static void shift_right() { result_integer(shift(arg(0)->i1(), arg(1)->i1(), 0)); }
static void shift_left() { result_integer(shift(arg(0)->i1(), arg(1)->i1(), 1)); }
static void shift_logical() { result_integer(shift(arg(0)->i1(), arg(1)->i1(), 2)); }

static void last_lf_q() { result_logic(natives::last_lf); }

// A folder removed under the process has no name: that raises cannot-open rather than
// answering the root folder.
static void get_current_dir() {
    file::get_current_dir(stack::arguments);
    stack::keep();
}

static void set_current_dir() {
    std::string path = string::to_os(arg(0));
    if (!platform::set_current_dir(path)) {
        Cell p = *arg(0);
        fire(err::access::cannot_open, &p);
    }
    stack::keep();
}

static void create_dir() {
    std::string path = simple_io::os_path(arg(0));
    // A folder that appeared since the caller looked is no failure; a file of that name is.
    struct stat st {};
    if (!simple_io::make_dir(path) && !(errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        Cell p = *arg(0);
        fire(err::access::no_create, &p);
    }
    stack::keep();
}

// Removes the temporaries of earlier replaces of `base` in `dir` that their process left, killed
// between writing and renaming: ".base.PID-N.tmp", plain files of this user whose process is gone
// (or is this one: its own failures remove theirs). Those of a live process may still be renamed.
static void remove_stale_temporaries(const std::string& dir, const std::string& base, const std::string& keep) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    std::string prefix = "." + base + ".";
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        std::string mid = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        size_t dash = mid.find('-');
        if (dash == 0 || dash == std::string::npos || dash + 1 == mid.size() || dash > 9 ||
            mid.find_first_not_of("0123456789-") != std::string::npos || mid.find('-', dash + 1) != std::string::npos)
            continue;
        std::string path = dir + name;
        if (path == keep) continue;
        pid_t pid = static_cast<pid_t>(std::stol(mid.substr(0, dash)));
        if (pid != getpid() && !(::kill(pid, 0) != 0 && errno == ESRCH)) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
        ::unlink(path.c_str());
    }
    ::closedir(d);
}

// Replaces a file whole: the bytes go to a fresh file beside it, which is then renamed over it.
// A process killed part-way, a full disk or a second process saving the same file at the same
// time then leaves either the old file or the new one, never a cut or mixed one; what a kill
// leaves beside it goes at the next replace. A symbolic link stays a link: its target is
// replaced. A hard link does not stay: writing in place to keep it would bring back the cut
// file a kill or a full disk leaves, and the name given gets the new content either way.
static void replace_file() {
    Cell file = *arg(0);
    std::string path = simple_io::os_path(&file);
    std::string bytes;
    {
        Cell v = *arg(1);
        SeriesBuf* b = memory::nodes[v.node()];
        int32_t len = static_cast<int32_t>(b->length()) - v.index();
        if (len > 0) bytes.assign(reinterpret_cast<const char*>(b->at_head() + v.index()), static_cast<size_t>(len));
    }
    if (path.empty() || path.find('\0') != std::string::npos || path.back() == '/') fire(err::access::cannot_open, &file);
    // Follow the links as open would, to a link that points nowhere yet too: its target is
    // where the file is made.
    struct stat st {};
    for (int hops = 0; lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode); hops++) {
        char to[4096];
        ssize_t n = readlink(path.c_str(), to, sizeof to);
        if (hops == 40 || n <= 0 || size_t(n) == sizeof to) fire(err::access::cannot_open, &file);
        std::string next(to, size_t(n));
        size_t at = path.rfind('/');
        path = next[0] == '/' || at == std::string::npos ? next : path.substr(0, at + 1) + next;
    }
    bool had = stat(path.c_str(), &st) == 0;
    // Only a plain file is replaced, and only one that could be written in place: a folder, a
    // device or a file made read-only is an error, as for write.
    if (had && (!S_ISREG(st.st_mode) || access(path.c_str(), W_OK) != 0)) fire(err::access::cannot_open, &file);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // The new content, whole and on the disk; false when any step fails.
    auto fill = [&](int fd) {
        bool ok = output::write_fd_all(fd, bytes.data(), bytes.size());
        // The file keeps its owner too where this process may give it: the superuser saving a
        // user's settings (sudo with the user's HOME) must not leave a file the user cannot write.
        if (ok && had && (st.st_uid != geteuid() || st.st_gid != getegid()))
            ok = fchown(fd, st.st_uid, st.st_gid) == 0 || errno == EPERM;
        if (ok && had) ok = fchmod(fd, st.st_mode & 07777) == 0 || errno == EPERM;
        return ok && fsync(fd) == 0;
    };
    // Makes `tmp` a new name beside the file for what make_at(name) makes there: a descriptor,
    // or -1 when it fails for another reason than a name already taken.
    std::string tmp;
    auto beside = [&](auto make_at) {
        for (int i = 0; i < 100; i++) {
            tmp = dir + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(i) + ".tmp";
            int r;
            do r = make_at(tmp.c_str());
            while (r < 0 && errno == EINTR);
            if (r >= 0 || errno != EEXIST) return r;
        }
        return -1;
    };
    // The new content is first written to a file without a name, which a kill or a full disk
    // part-way leaves nowhere; it is named beside the file only once it is whole, just before the
    // rename. A file system without such files (or no /proc to name it through) has the content
    // written under its temporary name from the start.
    bool named = false;
    int fd;
    do fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        if (!fill(fd)) {
            ::close(fd);
            fire(err::access::cannot_open, &file);
        }
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        named = beside([&](const char* name) {
                    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW);
                }) == 0;
        ::close(fd);  // its data is on the disk already (fsync)
    }
    if (!named) {
        // A file made here holds the user's own data (the console history, what was fetched):
        // it is the user's alone, as under a private application-data folder. One replaced
        // keeps its mode (fill).
        fd = beside([](const char* name) { return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
        if (fd < 0) fire(err::access::cannot_open, &file);
        bool ok = fill(fd);
        ok = ::close(fd) == 0 && ok;
        if (!ok) {
            ::unlink(tmp.c_str());
            fire(err::access::cannot_open, &file);
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        fire(err::access::cannot_open, &file);
    }
    remove_stale_temporaries(dir, base, tmp);
    stack::keep();
}

// The user's home folder: HOME, or when it is unset or empty (a job started by cron, a service,
// env -i) the one the password database gives. Settings and the remote-script cache must never
// fall back to a folder that every user can write: a planted cache entry would be run by
// do-thru, a planted link would have the settings written over another file.
static void user_home() {
    std::string home;
    if (!os::get_env("HOME", home) || home.empty()) {
        home.clear();
        struct passwd pw {}, *found = nullptr;
        std::string buf(16384, '\0');
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) set_cell(stack::arguments, TYPE_NONE);
    else string::load_os_at(stack::arguments, home);
    stack::keep();
}

static void exists_q() {
    result_logic(simple_io::file_exists_q(simple_io::os_path(arg(0))));
}

static void os_info() {
    os_info::make_object(stack::arguments);
    stack::keep();
}

static void as_tuple(int n) {
    uint32_t word = 0;
    uint8_t bytes[4];
    for (int i = 0; i < n; i++) {
        int32_t v = arg(i)->i1();
        if (v < 0) {
            Cell c = *arg(i);
            fire(err::script::invalid_arg, &c);
        }
        if (n == 3) bytes[i] = static_cast<uint8_t>(v & 0xFF);
        else word |= static_cast<uint32_t>(v) << (8 * i);
    }
    if (n == 4)
        for (int i = 0; i < 4; i++) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
    tuple::make_at(stack::arguments, bytes, n);
    stack::keep();
}
static void as_color() { as_tuple(3); }
static void as_ipv4() { as_tuple(4); }

static void count_chars() {
    Cell* start = arg(0);
    Cell* pos = arg(1);
    SeriesBuf* b = memory::nodes[start->node()];
    int32_t from = start->index(), to = pos->index();
    int32_t len = static_cast<int32_t>(b->length());
    if (to > len) to = len;
    if (to <= from) return result_integer(0);
    const uint8_t* p = b->at_head() + from;
    result_integer(static_cast<int32_t>(unicode::count_chars(p, p + (to - from))));
}

static void stack_size_q() { result_integer(static_cast<int32_t>(stack::top - stack::bottom)); }

static void pick_stack() {
    int32_t i = arg(0)->i1();
    int32_t size = static_cast<int32_t>(stack::top - stack::bottom);
    if (i > 0 && i < size)
        *stack::arguments = stack::bottom[i - 1];
    else
        set_cell(stack::arguments, TYPE_NONE);
    stack::keep();
}

static void frame_index_q() { result_integer(static_cast<int32_t>(stack::arguments - stack::bottom)); }

static void collect_calls() {
    stack::collect_calls(arg(0)->node());
    stack::keep();
}

static void tracing_q() { result_logic(interpreter::tracing); }

static void write_stdout() {
    Cell v = *arg(0);
    std::string bytes;
    if (types::any_string(v.type())) {
        bytes = string::to_utf8(&v);
    } else if (v.type() == TYPE_BINARY) {
        SeriesBuf* b = memory::nodes[v.node()];
        int32_t len = static_cast<int32_t>(b->length()) - v.index();
        if (len > 0) bytes.assign(reinterpret_cast<const char*>(b->at_head() + v.index()), static_cast<size_t>(len));
    } else {
        Cell s;
        actions::form_new(&s, &v);
        bytes = string::to_utf8(&s);
    }
    // Like print, the write makes way for the terminal GUI's inline drawing.
    output::begin_write();
    output::write_bytes(bytes.data(), bytes.size());
    output::flush();
    output::end_write();
    stack::keep();
}

// The clipboard is an in-process store: text, file lists and images written by scripts of this
// run.
static int32_t clipboard_slot = -1;

// A copy of a text as a new series of the given type, so later changes to the script's value do
// not reach the clipboard.
static void copy_text(Cell* out, const Cell* text, uint8_t type) {
    string::rs_make_at(out, string::rs_length_q(text) + 1);
    string::append_string(out->node(), text);
    out->set_type(type);
}

// A new block of new file! values of a list of paths (files or texts), into out.
static void copy_file_list(Cell* out, const Cell* paths) {
    int32_t n = block::rs_length_q(paths);
    Cell list;
    block::make_new(&list, n ? n : 1);
    collector::Root keep_list(&list);
    Cell path;
    set_cell(&path, TYPE_NONE);
    collector::Root keep_path(&path);
    for (int32_t i = 0; i < n; i++) {
        Cell item = block::rs_head(paths)[i];
        copy_text(&path, &item, TYPE_FILE);
        block::append_cell(list.node(), &path);
    }
    *out = list;
}

// Every read gives new values, as the platform's clipboard would: changing what one read returned
// must not change what the clipboard holds.
static void read_clipboard() {
    if (clipboard_slot < 0) return result_none();
    Cell stored = *root::at(clipboard_slot);
    collector::Root keep(&stored);
    switch (stored.type()) {
        case TYPE_IMAGE:
            image::copy_rect(stack::arguments, &stored, 0, 0, image::width_of(&stored), image::height_of(&stored));
            break;
        case TYPE_STRING:
            copy_text(stack::arguments, &stored, TYPE_STRING);
            break;
        case TYPE_BLOCK: copy_file_list(stack::arguments, &stored); break;
        default:
            *stack::arguments = stored;
            break;
    }
    stack::keep();
}

static void write_clipboard() {
    Cell v = *arg(0);
    collector::Root keep_v(&v);
    uint8_t t = v.type();
    if (t != TYPE_NONE && t != TYPE_STRING && t != TYPE_BLOCK && t != TYPE_IMAGE) fire(err::script::invalid_arg, &v);
    Cell copy;
    set_cell(&copy, TYPE_NONE);
    collector::Root keep(&copy);
    if (t == TYPE_STRING) {
        if (string::find_char(&v, '\r') < 0) {
            copy_text(&copy, &v, TYPE_STRING);
        } else {
            // Clipboard text has no CRs: CR LF line ends come back as LF, and a lone CR goes.
            std::string text = string::to_utf8(&v);
            text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
            string::load_at(&copy, text);
        }
    } else if (t == TYPE_BLOCK) {
        // A file list: each path comes back as a file!, whether it was given as a file or a text.
        int32_t n = block::rs_length_q(&v);
        for (int32_t i = 0; i < n; i++) {
            Cell item = block::rs_head(&v)[i];
            if (item.type() != TYPE_FILE && item.type() != TYPE_STRING) fire(err::script::invalid_arg, &item);
        }
        copy_file_list(&copy, &v);
    } else if (t == TYPE_IMAGE) {
        // The clipboard holds its own copy of the pixels; an image without pixels empties it.
        if (image::count_of(&v) > 0) image::copy_rect(&copy, &v, 0, 0, image::width_of(&v), image::height_of(&v));
    }
    if (clipboard_slot < 0)
        clipboard_slot = root::keep(&copy);
    else
        *root::at(clipboard_slot) = copy;
    result_logic(true);
}

static void gc_active_q() { result_logic(collector::enabled); }
static void gc_series_cycles() { result_integer(static_cast<int32_t>(collector::cycles)); }
static void gc_nodes_cycles() { result_integer(static_cast<int32_t>(collector::node_passes)); }

// Type predicates: one routine per datatype, and typeset predicates reading the typeset word at
// every call.
template <int T>
static void is_type() {
    result_logic(stack::arguments->type() == T);
}

static void typeset_member(const char* typeset_word) {
    Cell w;
    word::load(&w, typeset_word);
    const Cell* ts = word::peek(&w);
    bool member = ts && ts->type() == TYPE_TYPESET && interpreter::typeset_has(ts, stack::arguments->type());
    result_logic(member);
}

#define TYPESET_PREDICATE(fn, word) \
    static void fn() { typeset_member(word); }
TYPESET_PREDICATE(any_list_q, "any-list!")
TYPESET_PREDICATE(any_block_q, "any-block!")
TYPESET_PREDICATE(any_function_q, "any-function!")
TYPESET_PREDICATE(any_object_q, "any-object!")
TYPESET_PREDICATE(any_path_q, "any-path!")
TYPESET_PREDICATE(any_string_q, "any-string!")
TYPESET_PREDICATE(any_word_q, "any-word!")
TYPESET_PREDICATE(series_q, "series!")
TYPESET_PREDICATE(number_q, "number!")
TYPESET_PREDICATE(immediate_q, "immediate!")
TYPESET_PREDICATE(scalar_q, "scalar!")
TYPESET_PREDICATE(all_word_q, "all-word!")
TYPESET_PREDICATE(any_point_q, "any-point!")
TYPESET_PREDICATE(planar_q, "planar!")
#undef TYPESET_PREDICATE

static const lexer::Options& lexer_one() {
    static lexer::Options one;
    one.one = true;
    return one;
}

static void build_date() {
    Cell text;
    string::load_at(&text, runtime::build_date());
    collector::Root keep(&text);
    lexer::scan_value(stack::arguments, &text, -1, lexer_one(), nullptr);
    stack::keep();
}

// The global context seen as an object: reflection on it lists and changes the global words.
static void system_words() {
    set_cell(stack::arguments, TYPE_OBJECT, context::global_node, static_cast<uint32_t>(-1), 0);
    *context::owner_of(context::global_node) = *stack::arguments;
    stack::keep();
}

static void set_float_mode() {
    float_::pretty_print = arg(0)->data1 != 0;
    stack::keep();
}

// argv joined by single spaces, an argument holding blanks (or none at all) wrapped in double
// quotes. Line breaks count as blanks: the launcher splits this text at them too.
// Start-up and the launcher find where the script's own arguments begin by scanning this text
// with no notion of escapes, so a double quote inside the program's path, a switch or the
// script's name would shift that place. Those texts are only ever skipped (the values come from
// argv), so they lose their quotes here; the script's own arguments stay as typed.
static void command_line() {
    int argc = runtime::sys.argc;
    char** argv = runtime::sys.argv;
    // The arguments before the script's own: the program, the switches up to a bare "--"
    // (an argument after one is the script, whatever it looks like), then the script's name.
    int skipped = argc > 0 ? 1 : 0;
    while (skipped < argc && std::strncmp(argv[skipped], "--", 2) == 0 &&
           !(skipped > 1 && std::strcmp(argv[skipped - 1], "--") == 0))
        skipped++;
    if (skipped < argc) skipped++;
    std::string line;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (i < skipped) std::erase(a, '"');
        if (i) line.push_back(' ');
        if (a.empty() || a.find_first_of(" \t\n\r") != std::string::npos)
            line += "\"" + a + "\"";
        else
            line += a;
    }
    string::load_os_at(stack::arguments, line);
    stack::keep();
}

// Every argument of the command line, the program's path first, as the platform split it.
static void command_args() {
    Cell* list = block::push_new(runtime::sys.argc + 1);
    for (int i = 0; i < runtime::sys.argc; i++) {
        Cell* arg = stack::push_cell();
        set_cell(arg, TYPE_NONE);
        string::load_os_at(arg, runtime::sys.argv[i]);
        block::append_cell(list->node(), arg);
        stack::top = arg;
    }
    *stack::arguments = *list;
    stack::keep();
}

// The kelbin codec: encode* writes a value as an image (compact records when compact? is true),
// decode reads one back from a binary! or a file!.
static void kelbin_encode() {
    Cell value = *arg(0);
    collector::Root keep(&value);
    if (arg(1)->data1)
        kelbin::encode_cp(stack::arguments, &value);
    else
        kelbin::encode(stack::arguments, &value);
    stack::keep();
}

static void kelbin_decode() {
    kelbin::decode_value(stack::arguments, arg(0));
    stack::keep();
}

// Evaluates a block and, when anything leaves it early (a throw, a halt, an error the block does
// not catch), empties a queue block before passing it on: the reactivity engine's propagation
// queue must not outlive its propagation, or every later change would only be queued.
static void clear_on_unwind() {
    Node queue = arg(0)->node();
    collector::NodeRoot keep(&queue);
    try {
        interpreter::eval_block(arg(1), true);
    } catch (...) {
        block::clear(queue);
        throw;
    }
}

// Evaluates a block in which mold raises internal no-cycle for a value that holds itself,
// instead of writing a marker that would load back as a word.
static void refuse_cycles() {
    cycles::Refusing refusing;
    interpreter::eval_block(arg(0), true);
}

// A function of the environment that the run-time calls back; missing until start-up made it.
static const Cell* environment_function(const char* name) {
    Cell w;
    word::load(&w, name);
    const Cell* fn = word::peek(&w);
    if (!fn || !types::any_function(fn->type())) fire(err::internal::not_done);
    return fn;
}

// The native do runs files and URLs through the environment's do-file.
static void do_file(const Cell* file, const Cell* args) {
    const Cell* fn = environment_function("do-file");
    Cell none;
    set_cell(&none, TYPE_NONE);
    const Cell* call_args[3] = {file, &none, args};
    interpreter::call_with(stack::arguments, fn, call_args, 3);
    stack::keep();
}

// stats/show prints its detailed block through the environment's show-memory-stats.
static void show_memory_stats(const Cell* info) {
    const Cell* fn = environment_function("show-memory-stats");
    Cell data = *info, result;
    set_cell(&result, TYPE_UNSET);
    collector::Root keep_data(&data), keep_result(&result);
    const Cell* call_args[1] = {&data};
    interpreter::call_with(&result, fn, call_args, 1);
}

// do/expand runs the block through preprocessor/expand, with none as the job, before it is
// evaluated; the block is changed in place.
static void expand_hook(Cell* block) {
    Cell w;
    word::load(&w, "preprocessor");
    const Cell* pre = word::peek(&w);
    if (!pre || pre->type() != TYPE_OBJECT) fire(err::internal::not_done);
    const Cell* slot = context::value_of_symbol(symbol::make("expand"), pre->data1);
    if (!slot || !types::any_function(slot->type())) fire(err::internal::not_done);
    Cell fn = *slot, code = *block, none, result;
    set_cell(&none, TYPE_NONE);
    set_cell(&result, TYPE_UNSET);
    collector::Root keep_fn(&fn), keep_code(&code), keep_result(&result);
    const Cell* call_args[2] = {&code, &none};
    interpreter::call_with(&result, &fn, call_args, 2);
}

// The port layer splits a URL through the environment's url-parser/parse-url; none while the
// environment has no parser.
static Cell* parse_url_hook(Cell* out, const Cell* url) {
    set_cell(out, TYPE_NONE);
    Cell w;
    word::load(&w, "url-parser");
    const Cell* parser = word::peek(&w);
    if (!parser || parser->type() != TYPE_OBJECT) return out;
    const Cell* slot = context::value_of_symbol(symbol::make("parse-url"), parser->data1);
    if (!slot || !types::any_function(slot->type())) return out;
    Cell fn = *slot, arg = *url;
    collector::Root keep_fn(&fn), keep_arg(&arg);
    const Cell* call_args[1] = {&arg};
    interpreter::call_with(out, &fn, call_args, 1);
    return out;
}

static int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

// Decodes the JSON escapes of a string in place, from its head. The text only shrinks, so every
// decoded character lands at or before the one being read; a store that needs a wider unit
// widens the buffer, which keeps character indices. A broken surrogate pair (or a malformed
// \u escape) raises invalid-data with the string: what was decoded, then the rest as it stood.
static void json_unescape() {
    Cell* str = arg(0);
    if (str->type() != TYPE_STRING) expect(0, TYPE_STRING);
    Node node = str->node();
    string::rs_head(str);  // clamps a head past the tail
    SeriesBuf* b = memory::nodes[node];
    uint32_t unit = string::text_unit(b);
    uint32_t tail = b->length();
    uint32_t src = static_cast<uint32_t>(str->index());
    uint32_t dst = src;
    auto at = [&](uint32_t i) { return string::get_char(b->at_head() + size_t(i) * unit, unit); };
    // Four hex digits at i, or -1.
    auto hex4 = [&](uint32_t i) -> int32_t {
        if (tail - i < 4) return -1;
        int32_t v = 0;
        for (uint32_t k = 0; k < 4; k++) {
            int d = hex_digit(at(i + k));
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    };
    auto fail = [&](uint32_t from) {
        // Close the gap between the decoded text and the part not yet decoded.
        for (uint32_t i = from; i < tail; i++) string::put_char(b->at_head() + size_t(dst + i - from) * unit, unit, at(i));
        string::limit_tail(node, dst + (tail - from));
        Cell s = *str;
        fire(err::script::invalid_data, &s);
    };
    while (src < tail) {
        uint32_t c = at(src);
        uint32_t from = src++;
        if (c == '\\' && src < tail) {
            uint32_t e = at(src);
            switch (e) {
                case '"': case '\\': case '/': c = e; src++; break;
                case 'b': c = 0x08; src++; break;
                case 'f': c = 0x0C; src++; break;
                case 'n': c = 0x0A; src++; break;
                case 'r': c = 0x0D; src++; break;
                case 't': c = 0x09; src++; break;
                case 'u': {
                    int32_t hi = hex4(src + 1);
                    if (hi < 0) fail(from);
                    src += 5;
                    c = static_cast<uint32_t>(hi);
                    if (c >= 0xD800 && c <= 0xDBFF) {
                        int32_t lo = tail - src >= 6 && at(src) == '\\' && at(src + 1) == 'u' ? hex4(src + 2) : -1;
                        if (lo < 0xDC00 || lo > 0xDFFF) fail(from);
                        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(lo) - 0xDC00);
                        src += 6;
                    }
                    break;
                }
                default: break;  // not an escape: both characters stay
            }
        }
        if (dst == from && c == at(from)) {
            dst++;
            continue;
        }
        if ((c <= 0xFF ? 1u : c <= 0xFFFF ? 2u : 4u) > unit) {
            string::overwrite_char(node, b->head / unit + dst, c);
            b = memory::nodes[node];
            unit = string::text_unit(b);
        } else {
            string::put_char(b->at_head() + size_t(dst) * unit, unit, c);
        }
        dst++;
    }
    string::limit_tail(node, dst);
    stack::keep();
}

void init() {
    natives::do_file = do_file;
    url::parse_url = parse_url_hook;
    natives::show_memory_stats = show_memory_stats;
    natives::expand = expand_hook;
    static const struct {
        const char* name;
        routines::RoutineFn fn;
    } table[] = {
        {"quit-return", quit_return},
        {"set-quiet", set_quiet},
        {"set-slot-quiet", set_slot_quiet},
        {"shift-right", shift_right},
        {"shift-left", shift_left},
        {"shift-logical", shift_logical},
        {"last-lf?", last_lf_q},
        {"get-current-dir", get_current_dir},
        {"set-current-dir", set_current_dir},
        {"create-dir", create_dir},
        {"exists?", exists_q},
        {"user-home", user_home},
        {"replace-file", replace_file},
        {"os-info", os_info},
        {"as-color", as_color},
        {"as-ipv4", as_ipv4},
        {"as-rgba", as_ipv4},
        {"count-chars", count_chars},
        {"stack-size?", stack_size_q},
        {"pick-stack", pick_stack},
        {"frame-index?", frame_index_q},
        {"collect-calls", collect_calls},
        {"clear-on-unwind", clear_on_unwind},
        {"refuse-cycles", refuse_cycles},
        {"tracing?", tracing_q},
        {"read-clipboard", read_clipboard},
        {"write-clipboard", write_clipboard},
        {"write-stdout", write_stdout},
        {"gc-active?", gc_active_q},
        {"build-date", build_date},
        {"system-words", system_words},
        {"set-float-mode", set_float_mode},
        {"command-line", command_line},
        {"command-args", command_args},
        {"kelbin-encode", kelbin_encode},
        {"kelbin-decode", kelbin_decode},
        {"gc-series-cycles", gc_series_cycles},
        {"gc-nodes-cycles", gc_nodes_cycles},
        {"bitset?", is_type<TYPE_BITSET>},
        {"binary?", is_type<TYPE_BINARY>},
        {"block?", is_type<TYPE_BLOCK>},
        {"char?", is_type<TYPE_CHAR>},
        {"email?", is_type<TYPE_EMAIL>},
        {"file?", is_type<TYPE_FILE>},
        {"float?", is_type<TYPE_FLOAT>},
        {"get-path?", is_type<TYPE_GET_PATH>},
        {"get-word?", is_type<TYPE_GET_WORD>},
        {"hash?", is_type<TYPE_HASH>},
        {"integer?", is_type<TYPE_INTEGER>},
        {"issue?", is_type<TYPE_ISSUE>},
        {"lit-path?", is_type<TYPE_LIT_PATH>},
        {"lit-word?", is_type<TYPE_LIT_WORD>},
        {"logic?", is_type<TYPE_LOGIC>},
        {"map?", is_type<TYPE_MAP>},
        {"none?", is_type<TYPE_NONE>},
        {"pair?", is_type<TYPE_PAIR>},
        {"paren?", is_type<TYPE_PAREN>},
        {"path?", is_type<TYPE_PATH>},
        {"percent?", is_type<TYPE_PERCENT>},
        {"refinement?", is_type<TYPE_REFINEMENT>},
        {"set-path?", is_type<TYPE_SET_PATH>},
        {"set-word?", is_type<TYPE_SET_WORD>},
        {"string?", is_type<TYPE_STRING>},
        {"tag?", is_type<TYPE_TAG>},
        {"time?", is_type<TYPE_TIME>},
        {"typeset?", is_type<TYPE_TYPESET>},
        {"tuple?", is_type<TYPE_TUPLE>},
        {"unset?", is_type<TYPE_UNSET>},
        {"url?", is_type<TYPE_URL>},
        {"word?", is_type<TYPE_WORD>},
        {"image?", is_type<TYPE_IMAGE>},
        {"date?", is_type<TYPE_DATE>},
        {"money?", is_type<TYPE_MONEY>},
        {"ref?", is_type<TYPE_REF>},
        {"point2D?", is_type<TYPE_POINT2D>},
        {"point3D?", is_type<TYPE_POINT3D>},
        {"handle?", is_type<TYPE_HANDLE>},
        {"error?", is_type<TYPE_ERROR>},
        {"action?", is_type<TYPE_ACTION>},
        {"native?", is_type<TYPE_NATIVE>},
        {"datatype?", is_type<TYPE_DATATYPE>},
        {"function?", is_type<TYPE_FUNCTION>},
        {"object?", is_type<TYPE_OBJECT>},
        {"op?", is_type<TYPE_OP>},
        {"routine?", is_type<TYPE_ROUTINE>},
        {"vector?", is_type<TYPE_VECTOR>},
        {"event?", is_type<TYPE_EVENT>},
        {"any-list?", any_list_q},
        {"any-block?", any_block_q},
        {"any-function?", any_function_q},
        {"any-object?", any_object_q},
        {"any-path?", any_path_q},
        {"any-string?", any_string_q},
        {"any-word?", any_word_q},
        {"series?", series_q},
        {"number?", number_q},
        {"immediate?", immediate_q},
        {"scalar?", scalar_q},
        {"all-word?", all_word_q},
        {"any-point?", any_point_q},
        {"planar?", planar_q},
        {"json-unescape", json_unescape},
    };
    for (const auto& r : table) routines::register_(r.name, r.fn);
    image::register_routines();
    tui::register_routines();
}

}  // namespace env_routines
