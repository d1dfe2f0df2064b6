#include "services/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "tests/support/errors.h"
#include "tests/support/kel_eval.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;
namespace fs = std::filesystem;

// What a read gave, in C++ terms: 's' a string!, 'b' a binary!, 'l' a block of strings.
struct Got {
    char kind = '?';
    std::vector<std::string> items;
    bool operator==(const Got& o) const { return kind == o.kind && items == o.items; }
};
std::ostream& operator<<(std::ostream& os, const Got& g) {
    os << g.kind << "[";
    for (auto& s : g.items) {
        os << " \"";
        for (char c : s) os << (c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c));
        os << "\"";
    }
    return os << " ]";
}
Got text(const std::string& s) { return {'s', {s}}; }
Got bytes(const std::string& s) { return {'b', {s}}; }
Got lines(std::vector<std::string> l) { return {'l', std::move(l)}; }

Got describe(const Cell& v) {
    Got g;
    switch (v.type()) {
        case TYPE_STRING: return text(string::to_utf8(&v));
        case TYPE_BINARY: {
            const uint8_t* p = binary::rs_head(&v);
            return bytes(std::string(reinterpret_cast<const char*>(p), size_t(binary::rs_length_q(&v))));
        }
        case TYPE_BLOCK:
            g.kind = 'l';
            for (int32_t i = 0; i < length(v); i++) {
                Cell e = at(v, i);
                g.items.push_back(e.is(TYPE_STRING) ? string::to_utf8(&e) : "<not a string>");
            }
            return g;
        default: g.kind = char('0' + v.type()); return g;
    }
}

Cell file_value(const std::string& path) {
    Cell c = str(path);
    c.set_type(TYPE_FILE);
    return c;
}

class Files : public testing::Test {
protected:
    std::string dir;  // ends in "/"

    void SetUp() override {
        install_stand_ins();
        std::string tmpl = (fs::temp_directory_path() / "kel-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl + "/";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return dir + name; }
    void put(const std::string& name, const std::string& content) const {
        int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size()));
        ::close(fd);
    }
    std::string slurp(const std::string& name) const {
        std::string out;
        int fd = ::open(path(name).c_str(), O_RDONLY);
        if (fd < 0) return "<missing>";
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        ::close(fd);
        return out;
    }
    bool exists(const std::string& name) const { return fs::exists(fs::symlink_status(path(name))); }

    // read through the file service; the file value is on the data stack, as an action's is.
    Cell read(const std::string& p, int64_t part = -1, int64_t seek = -1, bool bin = false, bool lin = false) {
        stack::Saved saved = stack::save();
        // The slot holds a value before the file value is made: that allocation may collect.
        Cell* slot = set_cell(stack::push_cell(), TYPE_NONE);
        *slot = file_value(p);
        simple_io::read(slot, slot, part, seek, bin, lin);
        Cell result = *slot;
        stack::restore(saved);
        return result;
    }
    int64_t write(const std::string& name, const Cell& data, const Cell* part = nullptr, const Cell* seek = nullptr,
                  bool append = false, bool lin = false) {
        Cell f = file_value(path(name));
        return simple_io::write(&f, &data, part, seek, false, append, lin);
    }
    // An action on file! values through the action table, as scripts reach it.
    Cell action(int act_no, std::initializer_list<Cell> args, std::initializer_list<int32_t> refs = {}) {
        return act(act_no, args, refs);
    }
};

// ---------------------------------------------------------------------------------------------
// Reading

TEST_F(Files, ReadTable) {
    struct Case {
        const char* what;
        std::string content;
        int64_t part, seek;
        bool binary, lines;
        Got expected;
    } cases[] = {
        {"empty file", "", -1, -1, false, false, text("")},
        {"empty file, binary", "", -1, -1, true, false, bytes("")},
        {"empty file, lines", "", -1, -1, false, true, text("")},
        {"part 0", "abc", 0, -1, false, false, text("")},
        {"part 0, binary", "abc", 0, -1, true, false, bytes("")},
        {"part 0, lines", "a\nb", 0, -1, false, true, text("")},
        {"part inside", "abcdef", 2, -1, false, false, text("ab")},
        {"part past the end", "abc", 100, -1, false, false, text("abc")},
        {"negative part reads all", "abc", -5, -1, false, false, text("abc")},
        {"seek", "abcdef", -1, 2, false, false, text("cdef")},
        {"seek and part", "abcdef", 3, 1, true, false, bytes("bcd")},
        {"seek to the end", "abc", -1, 3, false, false, text("")},
        {"seek to the end, lines", "abc", -1, 3, false, true, lines({})},
        {"seek past the end", "abc", 4, 10, true, false, bytes("")},
        {"CR LF folded, lone CR kept", "a\r\nb\rc\r\n", -1, -1, false, false, text("a\nb\rc\n")},
        {"binary keeps CR LF", "a\r\nb", -1, -1, true, false, bytes("a\r\nb")},
        {"byte-order mark dropped", "\xEF\xBB\xBFhi", -1, -1, false, false, text("hi")},
        {"byte-order mark kept in binary", "\xEF\xBB\xBFhi", -1, -1, true, false, bytes("\xEF\xBB\xBFhi")},
        {"UTF-8 text", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", -1, -1, false, false, text("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC")},
        {"part cutting a character drops it", "\xC3\xBC\xC3\xBC", 3, -1, false, false, text("\xC3\xBC")},
        {"lines: CR LF", "a\r\nb\n", -1, -1, false, true, lines({"a", "b"})},
        {"lines: empty middle line", "a\n\nb", -1, -1, false, true, lines({"a", "", "b"})},
        {"lines: last CR kept", "a\nb\r", -1, -1, false, true, lines({"a", "b\r"})},
        {"lines: only one CR before LF dropped", "a\r\r\nb", -1, -1, false, true, lines({"a\r", "b"})},
        {"lines: single LF", "\n", -1, -1, false, true, lines({""})},
        {"lines: byte-order mark", "\xEF\xBB\xBFx\ny", -1, -1, false, true, lines({"x", "y"})},
        {"lines: U+FEFF starting a later line stays", "x\n\xEF\xBB\xBFy", -1, -1, false, true,
         lines({"x", "\xEF\xBB\xBFy"})},
        {"lines: part", "ab\ncd\nef", 4, -1, false, true, lines({"ab", "c"})},
    };
    for (const Case& c : cases) {
        put("f", c.content);
        EXPECT_EQ(describe(read(path("f"), c.part, c.seek, c.binary, c.lines)), c.expected) << c.what;
    }
}

TEST_F(Files, LargeTextFoldsAcrossChunkBoundaries) {
    std::string content, expected;
    for (int i = 0; i < 40000; i++) {
        content += "line " + std::to_string(i) + "\r\n";
        expected += "line " + std::to_string(i) + "\n";
    }
    put("big", content);
    EXPECT_EQ(describe(read(path("big"))), text(expected));
    Got l = describe(read(path("big"), -1, -1, false, true));
    ASSERT_EQ(l.items.size(), 40000u);
    EXPECT_EQ(l.items[39999], "line 39999");
}

TEST_F(Files, InvalidUtf8IsAnAccessError) {
    for (std::string bad : {"ab\xFF", "ab\xC3", "\xE2\x82"}) {
        put("bad", bad);
        EXPECT_TRUE(is_error(catch_error([&] { read(path("bad")); }), err::access::invalid_utf8)) << bad.size();
        EXPECT_TRUE(is_error(catch_error([&] { read(path("bad"), -1, -1, false, true); }), err::access::invalid_utf8));
        EXPECT_EQ(describe(read(path("bad"), -1, -1, true)), bytes(bad));
    }
}

TEST_F(Files, UnreadableFilesRaiseCannotOpenWithTheFile) {
    put("secret", "x");
    for (std::string p : {path("missing.txt"), path("secret/x"), std::string("a\0b", 3)}) {
        Cell e = catch_error([&] { read(p); });
        ASSERT_TRUE(is_error(e, err::access::cannot_open)) << p;
    }
    Cell e = catch_error([&] { read(path("missing.txt")); });
    EXPECT_NE(form(e).find("missing.txt"), std::string::npos) << form(e);
    // A folder named without its slash is not a file.
    fs::create_directory(path("sub"));
    EXPECT_TRUE(is_error(catch_error([&] { read(path("sub")); }), err::access::cannot_open));
}

// A file larger than any series is an error, not a short read; a part of it reads fine.
TEST_F(Files, FilesBeyondTheLargestSeries) {
    put("huge", "");
    ASSERT_EQ(truncate(path("huge").c_str(), (int64_t(3) << 30) + 5), 0);  // sparse: no disk used
    EXPECT_TRUE(is_error(catch_error([&] { read(path("huge")); }), err::internal::no_memory));
    EXPECT_TRUE(is_error(catch_error([&] { read(path("huge"), -1, -1, true); }), err::internal::no_memory));
    EXPECT_EQ(describe(read(path("huge"), 3, -1, true)), bytes(std::string(3, '\0')));
    EXPECT_EQ(describe(read(path("huge"), -1, (int64_t(3) << 30) + 1, true)), bytes(std::string(4, '\0')));
}

// Pipes and /proc files report size 0: they are read once, to their end.
TEST_F(Files, FilesWithoutSizeAreReadOnceToTheirEnd) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string payload(200000, 'x');
    payload += "\r\nend";
    auto feed = [&](const std::string& data) {
        return std::thread([this, data] {
            int fd = ::open(path("fifo").c_str(), O_WRONLY);
            size_t off = 0;
            while (off < data.size()) {
                ssize_t n = ::write(fd, data.data() + off, data.size() - off);
                if (n <= 0) break;
                off += size_t(n);
            }
            ::close(fd);
        });
    };
    std::thread writer = feed(payload);
    Got g = describe(read(path("fifo")));
    writer.join();
    EXPECT_EQ(g, text(std::string(200000, 'x') + "\nend"));

    writer = feed("0123456789");
    g = describe(read(path("fifo"), 4, 3, true));
    writer.join();
    EXPECT_EQ(g, bytes("3456"));

    Got status = describe(read("/proc/self/status", -1, -1, false, true));
    ASSERT_FALSE(status.items.empty());
    EXPECT_EQ(status.items[0].rfind("Name:", 0), 0u);
    // /part on an endless device stops after the part.
    EXPECT_EQ(describe(read("/dev/zero", 5, 100000, true)), bytes(std::string(5, '\0')));
}

// ---------------------------------------------------------------------------------------------
// Folders

TEST_F(Files, DirectoryListing) {
    put("a.txt", "1");
    put(".hidden", "");
    fs::create_directory(path("sub"));
    fs::create_symlink(path("sub"), path("link-to-sub"));
    fs::create_symlink(path("a.txt"), path("link-to-a"));
    put("n\xC3\xA4me", "");
    for (std::string listed : {dir, dir + ".", dir + "sub/.."}) {
        Cell block = read(listed);
        ASSERT_TRUE(block.is(TYPE_BLOCK)) << listed;
        std::multiset<std::string> names;
        for (int32_t i = 0; i < length(block); i++) {
            Cell e = at(block, i);
            EXPECT_TRUE(e.is(TYPE_FILE));
            names.insert(string::to_utf8(&e));
        }
        EXPECT_EQ(names, (std::multiset<std::string>{"a.txt", ".hidden", "sub/", "link-to-sub/", "link-to-a",
                                                     "n\xC3\xA4me"}))
            << listed;
    }
    EXPECT_EQ(length(read(path("sub/"))), 0);
    EXPECT_TRUE(is_error(catch_error([&] { read(path("nowhere/")); }), err::access::cannot_open));
    EXPECT_TRUE(is_error(catch_error([&] { read(path("a.txt/")); }), err::access::cannot_open));
}

// Names are bytes: one that is not UTF-8 (Latin-1, a cut sequence, an overlong form, an encoded
// surrogate) lists as a name that reads, renames and deletes that very file.
TEST_F(Files, NamesThatAreNotUtf8KeepTheirBytes) {
    const std::vector<std::string> names = {"caf\xE9",      "odd\xFF",          "cut\xE2\x82", "over\xC0\x80",
                                            "sur\xED\xA0\x80", "mixed\xE9\xC3\xA4", "ok\xC3\xA4",  "\xEF\xBB\xBF\xE9"};
    for (size_t i = 0; i < names.size(); i++) put(names[i], std::to_string(i));
    auto os_file = [](const std::string& bytes) {
        Cell c;
        string::load_os_at(&c, bytes);
        c.set_type(TYPE_FILE);
        return c;
    };
    std::set<std::string> listed;
    {
        Cell block = read(dir);
        for (int32_t i = 0; i < length(block); i++) {
            Cell e = at(block, i);
            listed.insert(string::to_os(&e));
        }
    }
    EXPECT_EQ(listed, std::set<std::string>(names.begin(), names.end()));
    for (size_t i = 0; i < names.size(); i++) {
        stack::Saved saved = stack::save();
        Cell* slot = set_cell(stack::push_cell(), TYPE_NONE);
        *slot = os_file(path(names[i]));
        simple_io::read(slot, slot, -1, -1, true, false);
        EXPECT_EQ(describe(*slot), bytes(std::to_string(i))) << i;
        stack::restore(saved);
        Cell from = os_file(path(names[i]));
        collector::Root keep(&from);
        Cell to = os_file(path(names[i] + "2"));
        EXPECT_TRUE(simple_io::rename(&from, &to)) << i;
        EXPECT_EQ(slurp(names[i] + "2"), std::to_string(i)) << i;
        Cell gone = os_file(path(names[i] + "2"));
        EXPECT_TRUE(simple_io::delete_(&gone)) << i;
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Files, DirNames) {
    struct {
        const char* name;
        bool dir;
    } cases[] = {{"a/", true},   {".", true},   {"..", true},  {"a/.", true},   {"a/..", true}, {"/", true},
                 {"a..", false}, {"a.", false}, {"a", false},  {"", false},     {".a", false},  {"a\\", false},
                 {"...", false}, {"a/...", false}};
    for (auto& c : cases) {
        Cell v = file_value(c.name);
        EXPECT_EQ(simple_io::dir_name_q(&v), c.dir) << c.name;
        EXPECT_EQ(simple_io::dir_name_q(std::string(c.name)), c.dir) << c.name;
    }
    // From the value's head on.
    Cell v = file_value("x/ab");
    v.set_index(3);
    EXPECT_FALSE(simple_io::dir_name_q(&v));
    v = file_value("ab/.");
    v.set_index(2);
    EXPECT_TRUE(simple_io::dir_name_q(&v));
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST_F(Files, WriteReplacesAppendsAndSeeks) {
    put("f", "old content that is long");
    EXPECT_EQ(write("f", str("new")), 3);
    EXPECT_EQ(slurp("f"), "new");

    EXPECT_EQ(write("created", str("a\nb"), nullptr, nullptr, true), 3);
    EXPECT_EQ(slurp("created"), "a\nb");  // LF line ends are written as they are
    write("created", str("c"), nullptr, nullptr, true);
    EXPECT_EQ(slurp("created"), "a\nbc");

    put("s", "0123456789");
    Cell seek = integer(4);
    write("s", str("ab"), nullptr, &seek);
    EXPECT_EQ(slurp("s"), "0123ab6789");
    seek = integer(0);
    write("s", str("X"), nullptr, &seek);
    EXPECT_EQ(slurp("s"), "X123ab6789");
    // Appending moves to the end whatever the seek.
    seek = integer(2);
    write("s", str("!"), nullptr, &seek, true);
    EXPECT_EQ(slurp("s"), "X123ab6789!");
    // A seek past the end leaves a hole of zero bytes.
    put("hole", "ab");
    seek = integer(4);
    write("hole", str("c"), nullptr, &seek);
    EXPECT_EQ(slurp("hole"), std::string("ab\0\0c", 5));
}

TEST_F(Files, WhatValuesWrite) {
    uint8_t raw[] = {0, 1, 0xFF, '\n'};
    Cell bin;
    binary::load_at(&bin, raw, sizeof raw);
    hold(bin);
    Cell two = integer(2), zero = integer(0), big = integer(99);
    struct Case {
        const char* what;
        Cell data;
        const Cell* part;
        bool lines;
        std::string expected;
    } cases[] = {
        {"string", str("h\xC3\xA9llo\n"), nullptr, false, "h\xC3\xA9llo\n"},
        {"string, part in characters", str("h\xC3\xA9llo"), &two, false, "h\xC3\xA9"},
        {"string, part 0", str("abc"), &zero, false, ""},
        {"string, part past the end", str("abc"), &big, false, "abc"},
        {"binary", bin, nullptr, false, std::string("\0\1\xFF\n", 4)},
        {"binary, part", bin, &two, false, std::string("\0\1", 2)},
        {"binary, part 0", bin, &zero, false, ""},
        {"other values are molded", blk({integer(1), str("x")}), nullptr, false, "[1 \"x\"]"},
        {"integer", integer(42), nullptr, false, "42"},
        {"lines: a block, LF after every value", blk({str("a"), integer(7), str("")}), nullptr, true, "a\n7\n\n"},
        {"lines: part applies to each value", blk({str("abc"), str("defg")}), &two, true, "ab\nde\n"},
        {"lines: one value", str("solo"), nullptr, true, "solo\n"},
        {"lines: empty block", blk({}), nullptr, true, ""},
    };
    for (const Case& c : cases) {
        write("w", c.data, c.part, nullptr, false, c.lines);
        EXPECT_EQ(slurp("w"), c.expected) << c.what;
    }
}

TEST_F(Files, WriteFailures) {
    // A negative /part writes nothing, raises nothing and leaves no file behind.
    Cell neg = integer(-1);
    EXPECT_EQ(write("never", str("x"), &neg), -1);
    EXPECT_FALSE(exists("never"));
    put("kept", "keep");
    EXPECT_EQ(write("kept", str("x"), &neg), -1);
    EXPECT_EQ(slurp("kept"), "keep");

    Cell fraction = str("1");
    Cell e = catch_error([&] { write("f", str("x"), &fraction); });
    EXPECT_TRUE(is_error(e, err::script::invalid_refine_arg));
    EXPECT_NE(form(e).find("part"), std::string::npos) << form(e);
    EXPECT_FALSE(exists("f"));

    for (const char* target : {"no/such/folder/f", "a.txt/x"}) {
        put("a.txt", "");
        e = catch_error([&] { write(target, str("x")); });
        EXPECT_TRUE(is_error(e, err::access::cannot_open)) << target;
        EXPECT_NE(form(e).find(target), std::string::npos) << form(e);
    }
    fs::create_directory(path("d"));
    EXPECT_TRUE(is_error(catch_error([&] { write("d", str("x")); }), err::access::cannot_open));
}

// ---------------------------------------------------------------------------------------------
// Delete, rename, query, exists, make-dir

TEST_F(Files, DeleteAndRename) {
    put("f", "1");
    fs::create_directory(path("empty"));
    fs::create_directory(path("full"));
    put("full/x", "");
    struct {
        std::string name;
        bool deleted;
    } deletes[] = {
        {"f", true},        {"f", false},         // gone the second time
        {"empty/", true},   {"full/", false},     // only an empty folder goes
        {"full", false},                          // a folder needs its folder name
        {"missing", false}, {"missing/", false},
    };
    for (auto& d : deletes) {
        Cell f = file_value(path(d.name));
        EXPECT_EQ(simple_io::delete_(&f), d.deleted) << d.name;
    }
    EXPECT_TRUE(exists("full/x"));

    put("old", "content");
    Cell from = file_value(path("old")), to = file_value(path("new"));
    EXPECT_TRUE(simple_io::rename(&from, &to));
    EXPECT_FALSE(exists("old"));
    EXPECT_EQ(slurp("new"), "content");
    EXPECT_FALSE(simple_io::rename(&from, &to));  // nothing left to rename
    Cell folder = file_value(path("full/")), moved = file_value(path("moved/"));
    EXPECT_TRUE(simple_io::rename(&folder, &moved));
    EXPECT_TRUE(exists("moved/x"));

    // A name that is taken stays as it was: a file, an empty folder or a folder in the way.
    put("keep", "kept");
    fs::create_directory(path("taken"));
    struct {
        std::string from, to;
    } refused[] = {{"new", "keep"}, {"new", "taken/"}, {"moved/", "taken/"}, {"new", "new"}};
    for (auto& r : refused) {
        Cell a = file_value(path(r.from)), b = file_value(path(r.to));
        EXPECT_FALSE(simple_io::rename(&a, &b)) << r.from << " -> " << r.to;
    }
    EXPECT_EQ(slurp("new"), "content");
    EXPECT_EQ(slurp("keep"), "kept");
    EXPECT_TRUE(exists("moved/x"));
    EXPECT_TRUE(fs::is_empty(path("taken")));
}

TEST_F(Files, QueryGivesTheUtcModificationDate) {
    put("f", "");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};  // 14-Nov-2023/22:13:20.123 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, path("f").c_str(), times, 0), 0);
    Cell f = file_value(path("f")), out;
    simple_io::query(&f, &out);
    ASSERT_TRUE(out.is(TYPE_DATE));
    EXPECT_EQ(date::year_of(out.data1), 2023);
    EXPECT_EQ(date::month_of(out.data1), 11);
    EXPECT_EQ(date::day_of(out.data1), 14);
    EXPECT_TRUE(date::has_time(out.data1));
    EXPECT_EQ(out.data1 & date::zone_mask, 0u);
    EXPECT_DOUBLE_EQ(out.f(), 22 * 3600 + 13 * 60 + 20.123);

    fs::create_directory(path("d"));
    for (std::string name : {"f/", "missing", "d/"}) {
        Cell q = file_value(path(name));
        simple_io::query(&q, &out);
        EXPECT_EQ(out.is(TYPE_NONE), name != "d/") << name;
    }
}

TEST_F(Files, ExistsAndMakeDir) {
    EXPECT_TRUE(simple_io::make_dir(path("d")));
    EXPECT_FALSE(simple_io::make_dir(path("d")));           // already there
    EXPECT_FALSE(simple_io::make_dir(path("x/y")));         // one level only
    EXPECT_TRUE(simple_io::file_exists_q(path("d")));
    EXPECT_TRUE(simple_io::file_exists_q(path("d/")));
    EXPECT_FALSE(simple_io::file_exists_q(path("x")));
    EXPECT_FALSE(simple_io::file_exists_q(std::string("d\0", 2)));
}

// ---------------------------------------------------------------------------------------------
// The file! actions

TEST_F(Files, ActionsReachTheService) {
    put("f", "hello\r\nworld");
    Cell f = file_value(path("f"));
    // read /part /seek /binary /lines /info /as: refinement values are argument positions.
    EXPECT_EQ(describe(action(ACT_READ, {f})), text("hello\nworld"));
    EXPECT_EQ(describe(action(ACT_READ, {f, integer(3)}, {1})), text("hel"));
    EXPECT_EQ(describe(action(ACT_READ, {f, number(2.9), integer(1)}, {1, 2, 0})), bytes("el"));
    EXPECT_EQ(describe(action(ACT_READ, {f}, {-1, -1, -1, 0})), lines({"hello", "world"}));
    EXPECT_TRUE(is_error(catch_error([&] { action(ACT_READ, {f, wrd("utf-8")}, {-1, -1, -1, -1, -1, 1}); }),
                         err::internal::not_done));
    EXPECT_TRUE(is_error(catch_error([&] { action(ACT_READ, {f, str("3")}, {1}); }), err::script::invalid_refine_arg));

    // write /binary /lines /info /append /part /seek /allow /as
    Cell g = file_value(path("g"));
    Cell r = action(ACT_WRITE, {g, str("abc")});
    EXPECT_EQ(r.type(), TYPE_FILE);
    action(ACT_WRITE, {g, str("def"), integer(1)}, {-1, -1, -1, 0, 2});
    EXPECT_EQ(slurp("g"), "abcd");
    EXPECT_TRUE(is_error(catch_error([&] { action(ACT_WRITE, {g, str("x"), blk({})}, {-1, -1, -1, -1, -1, -1, 2}); }),
                         err::internal::not_done));
    EXPECT_EQ(slurp("g"), "abcd");  // refused before the file is touched

    Cell q = action(ACT_QUERY, {g});
    EXPECT_TRUE(q.is(TYPE_DATE));
    Cell h = file_value(path("h"));
    EXPECT_TRUE(action(ACT_RENAME, {g, h}).data1);
    EXPECT_FALSE(action(ACT_RENAME, {g, h}).data1);
    EXPECT_TRUE(action(ACT_DELETE, {h}).data1);
    EXPECT_FALSE(action(ACT_DELETE, {h}).data1);
    EXPECT_TRUE(action(ACT_QUERY, {h}).is(TYPE_NONE));
}

// Through the interpreter: errors of the service reach try like any other, results come back.
TEST_F(Files, ScriptsReachTheServiceThroughTheActions) {
    auto f = [&](const std::string& name) { return mold(file_value(path(name))); };
    struct {
        std::string code, expected;
    } table[] = {
        {"type? try [read " + f("missing") + "]", "error!"},
        {"e: try [read " + f("missing") + "] e/id", "cannot-open"},
        {"e: try [read " + f("missing") + "] e/arg1 = " + f("missing"), "true"},
        {"type? try [write " + f("no/such/x") + " 1]", "error!"},
        {"write " + f("t") + " {a^/b} read/lines " + f("t"), "[\"a\" \"b\"]"},
        {"write/append " + f("t") + " #{0D0A63} read " + f("t"), "\"a^/b^/c\""},
        {"read/part/seek/binary " + f("t") + " 2 1", "#{0A62}"},
        {"write/lines " + f("l") + " [1 \"x\"] read " + f("l"), "\"1^/x^/\""},
        {"length? read " + f(""), "2"},
        {"rename " + f("l") + " " + f("m"), "true"},
        {"delete " + f("m"), "true"},
        {"query " + f("m"), "none"},
        // Only a block is split into lines; other lists are one molded value.
        {"write/lines " + f("p") + " to paren! [1 2] read " + f("p"), "\"(1 2)^/\""},
        {"write/lines " + f("p") + " make hash! [1 2] read " + f("p"), "\"make hash! [1 2]^/\""},
    };
    for (auto& c : table) EXPECT_EQ(kel_test::eval(c.code), c.expected) << c.code;
}

TEST_F(Files, LocalFormAndCurrentFolder) {
    Cell cwd;
    file::get_current_dir(&cwd);
    ASSERT_TRUE(cwd.is(TYPE_FILE));
    std::string here = string::to_utf8(&cwd);
    EXPECT_EQ(here, fs::current_path().string() + "/");
    struct {
        const char* path;
        bool full;
        std::string expected;
    } cases[] = {
        {"dir/a", false, "dir/a"},     {"dir/a", true, here + "dir/a"}, {"/abs/x", true, "/abs/x"},
        {"", true, here},              {"a\\b:c", false, "a\\b:c"},
    };
    for (auto& c : cases) {
        Cell f = file_value(c.path), out;
        Node buf = string::make_node(16);
        file::to_local(&f, buf, c.full);
        string::make_at(&out, buf);
        EXPECT_EQ(string::to_utf8(&out), c.expected) << c.path;
    }
}

}  // namespace
