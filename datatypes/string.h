// string!: codepoints in units of 1, 2 or 4 bytes. A store that does not fit the unit widens the
// whole buffer in place, one way only: appending widens a 1-byte string at 128, storing (poke,
// insert, overwrite) only above 255. string! is also the parent of the other text types (file!,
// url!, tag!, email!, ref!) and of binary! and vector!, which reach these actions unless they
// register their own.
//
// A string value: header type, data1 head index in characters (from the buffer's first used
// unit), data2 buffer node, data3 0 or the node of its conversion buffer (runtime/unicode.h).
// Positions and counts are characters; a head index may lie past the tail after the string
// shrank under another value.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"
#include "runtime/unicode.h"

namespace string {

// ---- Reading ----

inline uint32_t get_char(const uint8_t* p, uint32_t unit) { return unicode::get_unit(p, unit); }
inline void put_char(uint8_t* p, uint32_t unit, uint32_t cp) { unicode::put_unit(p, unit, cp); }
// The unit of a text buffer; any other unit than 1, 2 or 4 is run-time failure 101.
uint32_t text_unit(const SeriesBuf* b);

// Characters from the value's head to the tail (0 when the head lies past the tail).
int32_t rs_length_q(const Cell* value);
// Characters from the first used unit to the tail.
int32_t rs_abs_length_q(const Cell* value);
// Clamps a head index past the tail to the tail (and a negative one to 0); returns the head's
// byte offset from the buffer's data start.
uint32_t rs_head(Cell* value);
// Address past the last used byte (valid until the next allocation).
uint8_t* tail_address(const Cell* value);
bool rs_tail_q(const Cell* value);
// Codepoint at an absolute character index from the first used unit.
uint32_t rs_abs_at(const Cell* value, int32_t index);
// Offset from the head of the first character equal to cp, or -1.
int32_t find_char(const Cell* value, uint32_t cp);
// True when the characters from the head begin with the bytes of literal (one codepoint each).
bool match_literal_q(const Cell* value, const char* literal);

// ---- Writing characters; every one may move the buffer ----
// Character indices of poke_char, overwrite_char and insert_char count from the buffer's data
// start (head byte offset / unit + index from the head); they keep meaning the same character
// when the store widens the buffer.

void append_char(Node buffer, uint32_t cp);
void poke_char(Node buffer, uint32_t char_index, uint32_t cp);
// Stores at an index, growing the buffer and moving the tail when the index is at or past it.
void overwrite_char(Node buffer, uint32_t char_index, uint32_t cp);
void insert_char(Node buffer, uint32_t char_index, uint32_t cp);
// Remove one or count characters at an absolute index (from the first used unit); an index at
// or past the tail does nothing.
void remove_char(Cell* value, int32_t index);
void remove_part(Cell* value, int32_t index, int32_t count);
// Empties the string, back to 1-byte units, head 0.
void rs_reset(Cell* value);
// Widens a buffer in place to a larger unit (no effect when it is as wide already).
void widen(Node buffer, uint32_t unit);
// Cuts the tail to n characters after the first used unit when the buffer holds more.
void limit_tail(Node buffer, uint32_t n);

// ---- Appending text ----

void concatenate_literal(Node buffer, const char* bytes);
void concatenate_literal_n(Node buffer, const char* bytes, size_t n);
// For form and mold: appends the text (length bytes of ASCII) unless a /part budget (part not
// null) is already used up, and answers the budget left.
int concatenate_part(Node buffer, const Cell* part, int limit, const char* text, int length);
// Decodes UTF-8 (bounded by n) onto the buffer's tail, widening as the codepoints need; an
// invalid sequence raises access invalid-utf8 and leaves the buffer's characters as they were.
void append_utf8(Node buffer, const char* bytes, size_t n);
inline void append_utf8(Node buffer, std::string_view s) { append_utf8(buffer, s.data(), s.size()); }
// Appends the characters of a string value from its head (at most part characters when part
// is not negative).
void append_string(Node buffer, const Cell* source, int32_t part = -1);

enum ConcatMode : int { CONCAT_APPEND = 0, CONCAT_INSERT = 1, CONCAT_OVERWRITE = 2 };
// Copies the characters of a string-like value or symbol from its head into target: at the
// tail (append), at head + offset with the rest moved up (insert), or over the characters from
// head + offset (overwrite). part: characters to take (negative or beyond the source: all).
// Without keep_source a narrower source is widened in place to the target's unit; with it the
// source's buffer is never changed. The source may be the target itself.
void concatenate(Cell* target, const Cell* source, int32_t part, int32_t offset, bool keep_source, int mode);

// Appends one codepoint in molded form. Mode 253 (what the string and char! molds pass) enables
// the caret escapes (^@ ^A ... ^/ ^- ^" ^^ ^~); in every mode 30, 128-159, and with all every
// codepoint above 127, are written in hexadecimal as ^(1E).
void mold_char(Node buffer, uint32_t cp, int mode, bool all);

// ---- Making strings ----

Node make_node(int32_t bytes, uint32_t unit = 1);
Cell* rs_make_at(Cell* c, int32_t bytes);
Cell* make_at_unit(Cell* c, int32_t units, uint32_t unit);
Cell* make_at(Cell* c, Node node, int32_t index = 0, uint8_t type = TYPE_STRING);
Cell* push(const Cell* value);
// A new string! from UTF-8 text.
Cell* load_at(Cell* c, const char* bytes, size_t n);
inline Cell* load_at(Cell* c, std::string_view s) { return load_at(c, s.data(), s.size()); }
Cell* load_push(std::string_view s);
// A new string! from external bytes: encoding 0 is UTF-8 (length in bytes), -1 UTF-16LE (length
// in 16-bit units). Written into out, or pushed when out is null; answers the cell. Any other
// encoding raises access no-codec with the encoding.
Cell* load(const uint8_t* bytes, int32_t length, Cell* out, int encoding);
Cell* load_in(Node block, const uint8_t* bytes, int32_t length, int encoding);
// The bytes of a binary! from its head read as UTF-8 into a new string (in out). Bytes left at
// the end that form no complete sequence raise access invalid-utf8 with them as a binary!.
Cell* load_binary(Cell* out, const Cell* binary);

// Names from the operating system (file names, the current folder, arguments, the environment)
// are bytes that need not be UTF-8. Each byte that begins no valid sequence is kept as the
// codepoint 0xDC00 + byte (a lone low surrogate, which no UTF-8 text can hold), and to_os gives
// those bytes back, so a name taken from the system names the same file when handed back.
void append_os(Node buffer, const char* bytes, size_t n);
Cell* load_os_at(Cell* c, const char* bytes, size_t n);
inline Cell* load_os_at(Cell* c, std::string_view s) { return load_os_at(c, s.data(), s.size()); }
std::string to_os(const Cell* value);

// Text of a string value from its head as UTF-8 (for C++ callers: file names, messages).
std::string to_utf8(const Cell* value);
std::string to_utf8_part(const Cell* value, int32_t part);
// The whole buffer (from its head offset 0) as UTF-8.
std::string node_to_utf8(Node buffer, uint32_t from_char = 0);

// Two upper-case hexadecimal digits / 8 digits (leading zeros dropped with trim, 0 giving "00").
void byte_to_hex(uint8_t byte, char out[2]);
std::string to_hex(int32_t value, bool trim);
// The double spelled by ASCII decimal text; *error set when the text is not all a number.
double to_float(const char* text, int32_t length, bool* error);

// ---- Comparison ----

// Text order of two string-like values (or symbols) from their heads under an operator code:
// case folded through the case tables unless the operator is strict-equal (2) or case sort (8);
// 0 equal, -1 or 1 for order (1 for different lengths under the equality operators). With
// prefix, only as many characters as b has are compared (0 when a begins with b).
int compare_strings(const Cell* a, const Cell* b, int op, bool prefix = false);
// The compare action: -2 when b is not comparable with a under op.
int compare(const Cell* a, const Cell* b, int op);

// ---- Actions ----

Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
// Appends the characters from the head (at most limit with a /part limit); answers limit minus
// the string's length.
int form(const Cell* value, Node buffer, const Cell* part, int limit);
// Appends the text in double quotes or braces with escapes; answers limit minus the characters
// taken from the string minus 2.
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
Cell* eval_path(PathStep& step, Cell* out);

// The text-putting work of append, insert and change on a series cell (changed in place and
// answered). part: a count (negative when /part is absent); dup: the /dup count (1 when absent).
// notify: append tells the owner itself (insert and change tell it around their own work).
Cell* append(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool notify);
Cell* insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
Cell* change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
// Exchanges the adjacent runs [p, p + a) and [p + a, p + a + b): the second run then starts at
// p, g bytes of room follow it, then the first run. The buffer must have room for a + b + g.
void exchange_runs(uint8_t* p, uint32_t a, uint32_t b, uint32_t g);

// sort: part is null, an integer! or a same-series position; comparator null, an integer! or
// a function!.
Cell* sort(Cell* series, bool case_, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
           bool reverse, bool stable);

// Removes the characters of a set from the whole series: the set's characters (string!,
// binary!), one char! or integer! codepoint, or tab, line feed, carriage return and space when
// with is null. Shared by string! and binary! trim.
void trim_chars(Cell* series, const Cell* with);
// The counts of append, insert and change as the action entry leaves them, from the refinement
// argument at refs[k]: /part (-1 when absent) and /dup (1 when absent; the entry has made a
// float count an integer).
int32_t part_arg(const int32_t* refs, int k);
int32_t dup_arg(const int32_t* refs, int k);

// The action implementations (frame convention of datatype.h).
void append_action(const int32_t* refs);
void insert_action(const int32_t* refs);
void change_action(const int32_t* refs);
void find_action(const int32_t* refs);
void select_action(const int32_t* refs);
void sort_action(const int32_t* refs);
void swap_action(const int32_t* refs);
void take_action(const int32_t* refs);
void trim_action(const int32_t* refs);

// ---- Searching ----

struct FindOptions {
    int32_t part = -1;  // characters to search from the head; negative: to the tail
    bool case_ = false;
    bool same = false;
    int32_t skip = 1;
    bool last = false;
    bool reverse = false;
    bool match = false;
};
// Position (absolute character index) of value in the series under the options, or -1. *length
// receives the number of characters the match covers (1 for a character, bitset or number).
int32_t find_value(const Cell* series, const Cell* value, const FindOptions& options, int32_t* length);

// ---- Set operations (unique 8, union 9, intersect 10, exclude 11, difference 12) ----

// The result replaces set1 (a new series of set1's type); set2 is ignored by unique. skip is
// null or the /skip argument.
void do_set_op(Cell* set1, const Cell* set2, int op, bool case_, const Cell* skip);
// Whether the first character of some record (size characters apart, from the head) equals key.
bool find_record_key(const Cell* series, uint32_t key, int32_t size, bool case_);

// ---- Matching at a string's head (the parse engine) ----

bool match_bitset_q(const Cell* string, const Cell* bitset);
bool match_tag_q(const Cell* string, const Cell* tag);
bool match_value_q(const Cell* string, const Cell* value, int op);

// Registers string! (type 7, parent series!).
void init();

}  // namespace string
