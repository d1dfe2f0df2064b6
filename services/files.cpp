#include "services/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace simple_io {

namespace {

// The largest series the memory manager makes: a read that needs more cannot be held.
constexpr int64_t kMaxBytes = 0x7FFFFFF0;
constexpr size_t kChunk = 65536;

// Closes a descriptor on every way out of a scope, errors included.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) close_file(fd);
    }
};

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// A cell on the data stack for the length of a scope, so that the collector sees what it holds.
// When an error leaves the scope the stack is left alone: the error travels on it and its
// catcher restores the stack itself.
struct StackCell {
    Cell* cell;
    Cell* saved_top;
    int unwinding;
    StackCell() : saved_top(stack::top), unwinding(std::uncaught_exceptions()) {
        cell = stack::push_cell();
        set_cell(cell, TYPE_NONE);
    }
    ~StackCell() {
        if (std::uncaught_exceptions() == unwinding) stack::top = saved_top;
    }
};

[[noreturn]] void raise_on(ErrorId id, const Cell* value) {
    Cell v = *value;
    fire(id, &v);
}

// A name from a folder listing into a new string node, every byte of it kept (see
// string::append_os): an odd name still reads, renames and deletes the file it came from.
Node load_name(const char* name, size_t n) {
    Node node = string::make_node(static_cast<int32_t>(n ? n : 1));
    collector::NodeRoot keep(&node);
    string::append_os(node, name, n);
    return node;
}

// Decodes UTF-8 into a new string node. A sequence cut by the end of the bytes is an error
// unless cut_ok (a /part that ended inside a character). A leading byte-order mark is dropped
// only when bom_ok; otherwise U+FEFF there is a character of the text.
Node decode(const uint8_t* p, size_t n, bool cut_ok, bool bom_ok) {
    if (n > size_t(kMaxBytes)) fire(err::internal::no_memory);
    bool bom = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
    uint32_t remaining = 0;
    Node s = unicode::load_utf8_new(p, static_cast<uint32_t>(n), false, &remaining);
    if (remaining && !cut_ok) {
        Cell bytes;
        binary::load_at(&bytes, p + (n - remaining), remaining);
        fire(err::access::invalid_utf8, &bytes);
    }
    if (bom && !bom_ok) {
        collector::NodeRoot keep(&s);
        string::insert_char(s, 0, 0xFEFF);
    }
    return s;
}

// What an empty file, an unknown-size stream that yields nothing, or a /part of 0 reads as: an
// empty string also when lines were asked for, since there was nothing to split.
void empty_value(Cell* out, bool binary) {
    if (binary)
        binary::load_at(out, nullptr, 0);
    else
        string::make_at(out, string::make_node(1));
}

void convert(const uint8_t* p, size_t n, Cell* out, bool binary, bool lines, bool cut_ok) {
    if (n == 0 && !lines) return empty_value(out, binary);
    if (binary) {
        binary::load_at(out, p, n);
    } else if (lines) {
        lines_to_block(p, n, out, cut_ok);
    } else {
        bytes_to_string(p, n, out, cut_ok);
    }
}

// A heap buffer of n bytes for a read; exhausted memory is the language's no-memory error.
std::unique_ptr<uint8_t[]> buffer_of(size_t n) {
    std::unique_ptr<uint8_t[]> p(new (std::nothrow) uint8_t[n ? n : 1]);
    if (!p) fire(err::internal::no_memory);
    return p;
}

// Reads a file whose size is not known (pipes, terminals, /proc files) to its end in one pass;
// with a /part, only as far as part bytes after the seek. Nothing is read twice, so a pipe loses
// nothing, and skipped bytes are not kept.
bool read_stream(int fd, Cell* out, int64_t part, int64_t seek, bool binary, bool lines) {
    if (part == 0) {
        empty_value(out, binary);
        return true;
    }
    size_t capacity = kChunk;
    std::unique_ptr<uint8_t[]> data = buffer_of(capacity);
    for (int64_t skipped = 0; skipped < seek;) {
        size_t ask = size_t(std::min<int64_t>(int64_t(kChunk), seek - skipped));
        int64_t n = read_data(fd, data.get(), ask);
        if (n < 0) return false;
        if (n < int64_t(ask)) {
            empty_value(out, binary);
            return true;
        }
        skipped += n;
    }
    int64_t want = part > 0 ? part : INT64_MAX;
    int64_t total = 0;
    while (total < want) {
        size_t ask = size_t(std::min<int64_t>(int64_t(kChunk), want - total));
        if (size_t(total) + ask > capacity) {
            if (total + int64_t(ask) > kMaxBytes) fire(err::internal::no_memory);
            size_t grown = std::min<size_t>(capacity * 2, size_t(kMaxBytes));
            std::unique_ptr<uint8_t[]> more = buffer_of(grown);
            std::memcpy(more.get(), data.get(), size_t(total));
            data = std::move(more);
            capacity = grown;
        }
        int64_t n = read_data(fd, data.get() + total, ask);
        if (n < 0) return false;
        total += n;
        if (n < int64_t(ask)) break;
    }
    if (total == 0)
        empty_value(out, binary);
    else
        convert(data.get(), size_t(total), out, binary, lines, part > 0);
    return true;
}

// Folds CR LF to LF into dst, which has room for n bytes; answers the folded length.
size_t fold_crlf(const uint8_t* src, size_t n, uint8_t* dst) {
    size_t w = 0;
    for (size_t i = 0; i < n;) {
        const void* cr = std::memchr(src + i, '\r', n - i);
        size_t run = cr ? size_t(static_cast<const uint8_t*>(cr) - (src + i)) : n - i;
        std::memmove(dst + w, src + i, run);
        w += run;
        i += run;
        if (i >= n) break;
        // src[i] is CR: dropped when an LF follows.
        if (i + 1 < n && src[i + 1] == '\n') {
            i++;
            continue;
        }
        dst[w++] = '\r';
        i++;
    }
    return w;
}

// The bytes a value stands for in a file: a string! as UTF-8 (its first part characters with a
// part), a binary! from its head (its first part bytes), anything else molded and taken as a
// string. The bytes stay valid until the next allocation.
struct Bytes {
    const uint8_t* p;
    size_t n;
};
// With `reuse`, the bytes go into that conversion buffer (made on first use and stored back),
// which the caller holds: writing many values then makes one buffer, not one per value.
Bytes value_to_bytes(const Cell* value, int64_t part, Cell* scratch, Node* reuse = nullptr) {
    if (value->is(TYPE_BINARY)) {
        int64_t len = binary::rs_length_q(value);
        if (part >= 0 && part < len) len = part;
        return {binary::rs_head(value), size_t(len)};
    }
    if (value->is(TYPE_STRING)) {
        *scratch = *value;
    } else {
        actions::mold_new(scratch, value);
    }
    // The conversion buffer is named by the scratch cell's data3: never by what a copied
    // string! cell happened to carry there, which could name another series' buffer.
    scratch->data3 = reuse ? *reuse : 0;
    int32_t length = part >= 0 && part < INT32_MAX ? static_cast<int32_t>(part) : -1;
    const char* text = unicode::to_utf8(scratch, &length, false);
    if (reuse) *reuse = scratch->data3;
    return {reinterpret_cast<const uint8_t*>(text), size_t(length)};
}

// Writes the bytes to a descriptor, or to standard output when fd < 0 (inside the output
// layer's brackets, which the caller opened: they may run script code, so they must not come
// between the bytes' address and their use).
int64_t put(int fd, const uint8_t* p, size_t n) {
    if (fd >= 0) return write_data(fd, p, n);
    output::write_raw(reinterpret_cast<const char*>(p), n);
    return int64_t(n);
}

// Opens the output layer's brackets around a write to standard output, and closes them on
// every way out.
struct StdoutBrackets {
    bool open;
    explicit StdoutBrackets(bool o) : open(o) {
        if (open) output::begin_write();
    }
    ~StdoutBrackets() {
        if (open) output::end_write();
    }
};

}  // namespace

// Count of a /part or /seek argument: an integer, or a float truncated toward zero and clamped
// to the 64-bit range. Anything else, or NaN, is refused.
int64_t count_of(const Cell* value, const char* refinement) {
    switch (value->type()) {
        case TYPE_INTEGER: return int_of(value);
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = value->f();
            if (std::isnan(d)) break;
            if (d >= 9.0e18) return INT64_MAX;
            if (d <= -9.0e18) return INT64_MIN;
            return static_cast<int64_t>(d);
        }
        default: break;
    }
    Cell ref, v = *value;
    word::load_typed(&ref, refinement, TYPE_REFINEMENT);
    fire(err::script::invalid_refine_arg, &ref, &v);
}

// ---- Low-level operations ----

int open_file(const std::string& path, int mode) {
    if (has_nul(path)) return -1;
    int flags = O_CLOEXEC;
    if (mode & OPEN_READ) {
        flags |= O_RDONLY;
    } else {
        flags |= O_WRONLY | O_CREAT;
        if (!(mode & (OPEN_APPEND | OPEN_SEEK))) flags |= O_TRUNC;
        // An append goes to the end as it is at each write, not as it was when the file was
        // opened: two processes appending to one log would otherwise write over each other's
        // lines. A /seek with it changes nothing, the append moves to the end all the same.
        if (mode & OPEN_APPEND) flags |= O_APPEND;
    }
    int fd;
    do fd = ::open(path.c_str(), flags, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int64_t file_size(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    return S_ISREG(st.st_mode) ? int64_t(st.st_size) : 0;
}

int64_t seek_file(int fd, int64_t offset) { return lseek(fd, off_t(offset), SEEK_SET); }

int64_t read_data(int fd, void* buffer, size_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += size_t(r);
    }
    return int64_t(got);
}

int64_t write_data(int fd, const void* buffer, size_t n) {
    return output::write_fd_all(fd, buffer, n) ? int64_t(n) : -1;
}

int close_file(int fd) { return ::close(fd); }

bool file_exists_q(const std::string& path) {
    struct stat st {};
    return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

bool make_dir(const std::string& path) {
    // Callers read errno for the reason: a name refused here must not leave an earlier call's
    // "already exists" there, which would pass the folder before the NUL for this one.
    if (has_nul(path)) {
        errno = EINVAL;
        return false;
    }
    return ::mkdir(path.c_str(), 0777) == 0;
}

// ---- Paths ----

std::string os_path(const Cell* file) { return string::to_os(file); }

bool dir_name_q(const std::string& s) {
    if (s.empty()) return false;
    if (s.back() == '/' || s == "." || s == "..") return true;
    size_t n = s.size();
    if (n >= 2 && s.compare(n - 2, 2, "/.") == 0) return true;
    return n >= 3 && s.compare(n - 3, 3, "/..") == 0;
}

bool dir_name_q(const Cell* name) {
    int32_t len = string::rs_length_q(name);
    if (len == 0) return false;
    Cell v = *name;
    SeriesBuf* b = memory::nodes[v.node()];
    uint32_t unit = b->unit();
    const uint8_t* head = b->data() + string::rs_head(&v);
    auto at_end = [&](int32_t k) { return k <= len ? string::get_char(head + size_t(len - k) * unit, unit) : 0u; };
    uint32_t last = at_end(1);
    if (last == '/') return true;
    if (last != '.') return false;
    if (len == 1) return true;
    uint32_t second = at_end(2);
    if (second == '/') return true;
    if (second != '.') return false;
    return len == 2 || at_end(3) == '/';
}

// ---- Reading ----

void read(const Cell* file, Cell* out, int64_t part, int64_t seek, bool binary, bool lines) {
    StackCell keep;  // the file value for the error report, out may be its cell
    *keep.cell = *file;
    if (dir_name_q(keep.cell)) return read_dir(keep.cell, out);
    if (!read_file(os_path(keep.cell), out, part, seek, binary, lines)) raise_on(err::access::cannot_open, keep.cell);
}

bool read_file(const std::string& path, Cell* out, int64_t part, int64_t seek, bool binary, bool lines) {
    int fd = open_file(path, OPEN_READ);
    if (fd < 0) return false;
    FdGuard guard{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) return read_stream(fd, out, part, seek, binary, lines);

    int64_t size = st.st_size;
    if (seek > 0) {
        if (seek >= size) {
            // Nothing left past the seek: read as zero bytes, so lines give an empty block.
            static const uint8_t nothing = 0;
            convert(&nothing, 0, out, binary, lines, false);
            return true;
        }
        if (seek_file(fd, seek) < 0) return false;
        size -= seek;
    }
    if (part == 0) {
        empty_value(out, binary);
        return true;
    }
    bool cut = part > 0 && part < size;
    if (cut) size = part;
    if (size > kMaxBytes) fire(err::internal::no_memory);

    if (binary) {
        // Straight into the series: nothing allocates between here and the end of the read.
        Node node = memory::alloc_bytes(static_cast<int32_t>(size));
        int64_t n = read_data(fd, memory::nodes[node]->data(), size_t(size));
        if (n < 0) return false;
        memory::nodes[node]->tail = static_cast<uint32_t>(n);
        set_cell(out, TYPE_BINARY, 0, node);
        return true;
    }
    std::unique_ptr<uint8_t[]> data = buffer_of(size_t(size));
    int64_t n = read_data(fd, data.get(), size_t(size));
    if (n < 0) return false;
    convert(data.get(), size_t(n), out, false, lines, cut);
    return true;
}

void read_dir(const Cell* dir, Cell* out) {
    StackCell keep;
    *keep.cell = *dir;
    std::string path = os_path(keep.cell);
    DIR* d = has_nul(path) ? nullptr : opendir(path.c_str());
    if (!d) raise_on(err::access::cannot_open, keep.cell);
    struct DirGuard {
        DIR* d;
        ~DirGuard() { closedir(d); }
    } guard{d};
    std::string prefix = path;
    if (prefix.back() != '/') prefix += '/';

    StackCell result, entry;
    block::make_new(result.cell, 16);
    for (;;) {
        // readdir answers null both at the end and on a failure, which only errno tells apart:
        // a listing cut short by a read error must not pass for the whole folder. An
        // interrupted read is asked again; the stream has not moved.
        errno = 0;
        dirent* e = readdir(d);
        if (!e) {
            if (errno == EINTR) continue;
            if (errno) raise_on(err::access::cannot_open, keep.cell);
            break;
        }
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        bool folder = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            folder = ::stat((prefix + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        Node s = load_name(name, std::strlen(name));
        string::make_at(entry.cell, s, 0, TYPE_FILE);
        if (folder) string::append_char(s, '/');
        block::append_cell(result.cell->node(), entry.cell);
    }
    *out = *result.cell;
}

// ---- Writing ----

int64_t write(const Cell* file, const Cell* data, const Cell* part, const Cell* seek, bool binary, bool append,
              bool lines) {
    (void)binary;  // text and bytes are written alike: LF line ends are kept as they are
    int64_t n_part = -1;
    if (part) {
        if (!part->is(TYPE_INTEGER)) {
            Cell ref, v = *part;
            word::load_typed(&ref, "part", TYPE_REFINEMENT);
            fire(err::script::invalid_refine_arg, &ref, &v);
        }
        n_part = int_of(part);
        if (n_part < 0) return -1;
    }
    int64_t n_seek = seek ? count_of(seek, "seek") : -1;
    // A negative position would open the file as a plain write does, which empties it: refused
    // before anything is opened.
    if (seek && n_seek < 0) {
        Cell ref, v = *seek;
        word::load_typed(&ref, "seek", TYPE_REFINEMENT);
        fire(err::script::invalid_refine_arg, &ref, &v);
    }

    StackCell target, value, scratch;
    if (file) *target.cell = *file;
    *value.cell = *data;
    std::string path = file ? os_path(target.cell) : std::string();

    // The bytes are made before the file is opened, which truncates it: a value that cannot be
    // molded (nested too deep) must leave the file as it was. Standard output's brackets come
    // first, since they may run script code.
    StdoutBrackets brackets(!file);
    std::string joined;
    Bytes bytes{nullptr, 0};
    // Only a block is written a value per line; a paren or hash is one value like any other.
    bool per_value = lines && value.cell->is(TYPE_BLOCK);
    Node line_bytes = 0;
    collector::NodeRoot keep_line_bytes(&line_bytes);
    if (per_value) {
        for (int32_t i = 0; i < block::rs_length_q(value.cell); i++) {
            Cell item = block::rs_head(value.cell)[i];
            Cell* held = stack::push(&item);
            Bytes b = value_to_bytes(held, n_part, scratch.cell, &line_bytes);
            joined.append(reinterpret_cast<const char*>(b.p), b.n);
            joined += '\n';
            stack::pop(1);
        }
        bytes = {reinterpret_cast<const uint8_t*>(joined.data()), joined.size()};
    } else {
        // Valid until the next allocation of a series: nothing below makes one.
        bytes = value_to_bytes(value.cell, n_part, scratch.cell);
        // The line end goes out in the same write as the line: an append from another process
        // cannot come between them.
        if (lines) {
            joined.assign(reinterpret_cast<const char*>(bytes.p), bytes.n);
            joined += '\n';
            bytes = {reinterpret_cast<const uint8_t*>(joined.data()), joined.size()};
        }
    }

    int fd = -1;
    if (file) {
        int mode = OPEN_WRITE | (append ? OPEN_APPEND : 0) | (n_seek >= 0 ? OPEN_SEEK : 0);
        fd = open_file(path, mode);
        if (fd < 0) raise_on(err::access::cannot_open, target.cell);
    }
    FdGuard guard{fd};
    if (fd >= 0) {
        if (n_seek > 0 && lseek(fd, off_t(n_seek), SEEK_SET) < 0) raise_on(err::access::cannot_open, target.cell);
        // A pipe, FIFO or terminal has no end to move to: what is written there is appended.
        if (append && lseek(fd, 0, SEEK_END) < 0 && errno != ESPIPE) raise_on(err::access::cannot_open, target.cell);
    }

    int64_t total = put(fd, bytes.p, bytes.n);
    if (total < 0 && file) raise_on(err::access::cannot_open, target.cell);
    if (fd >= 0) {
        guard.fd = -1;
        if (close_file(fd) != 0) raise_on(err::access::cannot_open, target.cell);
    }
    return total;
}

// ---- Deleting, renaming, dates ----

bool delete_(const Cell* file) {
    std::string path = os_path(file);
    if (has_nul(path)) return false;
    return (dir_name_q(path) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0;
}

bool rename(const Cell* from, const Cell* to) {
    std::string a = os_path(from), b = os_path(to);
    if (has_nul(a) || has_nul(b)) return false;
    // A rename never replaces what already has the new name: that file's content would be lost.
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system that cannot refuse by itself: look first.
    struct stat st {};
    if (::lstat(b.c_str(), &st) == 0 || errno != ENOENT) return false;
    return ::rename(a.c_str(), b.c_str()) == 0;
}

void query(const Cell* file, Cell* out) {
    std::string path = os_path(file);
    struct stat st {};
    struct tm t {};
    bool found = !has_nul(path) && ::stat(path.c_str(), &st) == 0 &&
                 !(path.back() == '/' && !S_ISDIR(st.st_mode)) && gmtime_r(&st.st_mtim.tv_sec, &t);
    if (!found) {
        set_cell(out, TYPE_NONE);
        return;
    }
    // Whole milliseconds, as file dates carry them.
    double s = double(t.tm_hour) * 3600.0 + double(t.tm_min) * 60.0 + double(t.tm_sec) +
               double(st.st_mtim.tv_nsec / 1000000) / 1000.0;
    date::make_from_fields(out, int32_t(t.tm_year) + 1900, t.tm_mon + 1, t.tm_mday, s, 0, 0, true);
}

// ---- Conversions ----

void bytes_to_string(const uint8_t* bytes, size_t n, Cell* out, bool cut_ok) {
    if (!std::memchr(bytes, '\r', n)) {
        string::make_at(out, decode(bytes, n, cut_ok, true));
        return;
    }
    std::unique_ptr<uint8_t[]> folded = buffer_of(n);
    size_t m = fold_crlf(bytes, n, folded.get());
    string::make_at(out, decode(folded.get(), m, cut_ok, true));
}

void lines_to_block(const uint8_t* bytes, size_t n, Cell* out, bool cut_ok) {
    size_t count = 0;
    for (const uint8_t* p = bytes; (p = static_cast<const uint8_t*>(std::memchr(p, '\n', size_t(bytes + n - p))));
         p++)
        count++;
    if (n && bytes[n - 1] != '\n') count++;
    if (count > size_t(kMaxBytes / 16)) fire(err::internal::no_memory);
    StackCell result, line;
    block::make_new(result.cell, static_cast<int32_t>(count ? count : 1));
    size_t start = 0;
    while (start < n) {
        const void* lf = std::memchr(bytes + start, '\n', n - start);
        size_t end = lf ? size_t(static_cast<const uint8_t*>(lf) - bytes) : n;
        size_t len = end - start;
        // Inside the text a line keeps its last CR only when no LF follows it.
        if (lf && len && bytes[end - 1] == '\r') len--;
        Node s = decode(bytes + start, len, cut_ok && !lf, start == 0);
        string::make_at(line.cell, s);
        block::append_cell(result.cell->node(), line.cell);
        start = end + 1;
    }
    *out = *result.cell;
}

void current_dir(Cell* out) {
    std::string dir = os::get_current_dir();
    if (dir.empty()) {
        // The folder was removed under the process: there is no name to give.
        Cell here;
        string::load_at(&here, "./");
        here.set_type(TYPE_FILE);
        fire(err::access::cannot_open, &here);
    }
    if (dir.back() != '/') dir += '/';
    string::load_os_at(out, dir);
    out->set_type(TYPE_FILE);
}

}  // namespace simple_io
