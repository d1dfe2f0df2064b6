// The lexer: turns UTF-8 text in the language's notation into values.
//
// A table-driven automaton cuts the bytes into tokens; each token kind has a scanner (checks and
// handles nesting) and a loader (builds the value). Values of every nesting level are built in
// one flat value buffer shared by all active scans: opening a block, paren, map, path or point
// appends a marker cell, closing copies the cells after the marker into a new series once. The
// buffer lives outside the collector's frames and is addressed by cell index only, so it may grow
// (and loaders may allocate) at any time.
//
// Modes: load builds values; scan checks every token without building and answers the type of the
// first value; prescan recognises the type from the automaton alone; one stops after the first
// complete value (its end position is the consumed length).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "datatypes/cell.h"

namespace lexer {

// Trace event bits and the mask that selects them.
enum Event : uint32_t {
    EV_PRESCAN = 1,
    EV_SCAN = 2,
    EV_LOAD = 4,
    EV_OPEN = 8,
    EV_CLOSE = 16,
    EV_ERROR = 32,
    EV_ALL = 63,
};

// Token numbers (the automaton's final states); a token whose type is 0 is reported to a trace
// callback as -token.
enum Token : int {
    T_END = 1,
    T_ERROR,
    T_BLOCK_OPEN,
    T_BLOCK_CLOSE,
    T_PAREN_OPEN,
    T_PAREN_CLOSE,
    T_BRACE_OPEN,
    T_BRACE_CLOSE,
    T_MAP_OPEN,
    T_PATH,
    T_CONSTRUCT,
    T_COMMENT,
    T_COMMA,
    T_STRING,
    T_WORD,
    T_ISSUE,
    T_INTEGER,
    T_REFINEMENT,
    T_CHAR,
    T_FILE,
    T_BINARY,
    T_PERCENT,
    T_FLOAT,
    T_SPECIAL_FLOAT,
    T_TUPLE,
    T_DATE,
    T_PAIR,
    T_POINT,
    T_TIME,
    T_MONEY,
    T_TAG,
    T_URL,
    T_EMAIL,
    T_HEX,
    T_RAW_STRING,
    T_REF,
    kTokenCount = T_REF,
};

// One event as a trace callback sees it. Positions are in units of the source: characters for a
// string source, bytes otherwise, counted from the text's first unit. Everything is a copy, so a
// callback may run script code, allocate, or even scan text itself.
struct TraceEvent {
    uint32_t event = 0;  // one bit of Event
    int32_t type = 0;    // a datatype id above 0; 0 none; -t for an untyped token t
    int32_t line = 0;
    int32_t start = 0;   // the token's first unit
    int32_t end = 0;     // just past its last unit
    int32_t input = 0;   // where the event's input position stands (start or end, by event)
    Cell value{};        // load events: the value just loaded
    // Set by the callback to a new input position (units) to resume scanning there; -1 keeps it.
    int32_t resume = -1;
};

// A trace callback: answers false to skip (prescan), not build (scan), drop (load), not open,
// not close, or stop quietly (error). `callback` keeps a script-level function reachable for the
// collector while the scan runs (unset for C++ callbacks).
struct Trace {
    uint32_t mask = EV_ALL;
    std::function<bool(TraceEvent&)> fn;
    Cell callback{};
};

// The event mask that a script callback's body asks for: when its first value is a block, the
// union of the event words in it; otherwise every event.
uint32_t mask_of_body(const Cell* body);

struct Options {
    bool one = false;       // stop after the first complete value
    bool load = true;       // build values (false: scan mode)
    bool prescan = false;   // recognise the first token's type only
    bool keep_block = false;  // with one: still answer a block
    const Cell* source = nullptr;  // the string! or binary! the text comes from (trace input)
    // A block to append to instead of making a new one; like the output cell it must stay where
    // it is while the scan allocates (a data-stack cell or a rooted local).
    Cell* into = nullptr;
    Trace* trace = nullptr;
};

// Scans length bytes of UTF-8 text. The bytes must stay where they are for the whole call (C++
// memory, not a series buffer). The output cell receives a block of the values, or the value in
// one mode, or none when nothing was built; with into, the values go to that block and out gets
// a copy of it. Answers the type of the last token (a datatype id; 34 error! in the checking
// modes when the text is invalid; 0 for nothing). consumed, when given, receives the units
// scanned. Bad text raises a syntax error in load mode.
int32_t scan(Cell* out, const uint8_t* text, uint32_t length, const Options& options, int32_t* consumed);
inline int32_t scan(Cell* out, std::string_view text, const Options& options, int32_t* consumed = nullptr) {
    return scan(out, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), options,
                consumed);
}

// Scans the text of a string-like or binary! value from its head: length units (characters or
// bytes), -1 for everything to the tail; a length beyond the tail is clamped. The text is staged
// as UTF-8 first, so the value's buffer may move freely while the scan allocates.
int32_t scan_value(Cell* out, const Cell* value, int32_t length, const Options& options, int32_t* consumed);

// C++ conveniences.
Cell* load(Cell* out, std::string_view text);
// The first value and the byte position just past it (none and the length for blank text).
Cell* next(Cell* out, std::string_view text, int32_t* end);
// The first value, or none.
Cell* load_one(Cell* out, std::string_view text);
// The datatype of the first value: a datatype id, 34 error! for invalid text, 0 for none.
int32_t scan_type(std::string_view text);
int32_t prescan_type(std::string_view text);

// Conversion scanners over string units (1, 2 or 4 bytes a character), for the to actions.
// error: 0, -1 a bad character, -2 overflow.
int32_t scan_integer(const uint8_t* units, int32_t count, int unit, int* error);
double scan_float(const uint8_t* units, int32_t count, int unit, int* error);
// Money text: fills the cell and answers true, or answers false for text that is no amount.
bool scan_money(Cell* out, const uint8_t* units, int32_t count, int unit);
// A dotted decimal text of at most 12 parts (0-255 each) into a tuple!.
bool scan_tuple(Cell* out, const uint8_t* units, int32_t count, int unit);

// Whether the text is exactly one word of kind word!, set-word!, get-word! or lit-word!
// (refinement! and issue! names are checked with it); answers the kind or 0.
int32_t word_kind(std::string_view text);

// Start-up: the value and staging buffers, the tables, the collector hook.
void init();
// Marks every active scan's cells, source and callback (the collector calls it).
void mark_buffers();
// Number of scans active now (nested through callbacks and conversions).
int active_scans();

// The nesting depth beyond which input is refused (internal error too-deep).
constexpr int kMaxDepth = 10000;

}  // namespace lexer

// The single-value scan of the compiled code's conversions (to time!, pair!, tuple! and others).
namespace conversion {

// Scans the whole text of a string value as one value into the target block cell (made a new
// block). Answers the value (the block's head cell), the shared none cell when text is left over
// after the value, or the target itself turned unset when the text holds no value.
Cell* scan_single(const Cell* text, Cell* target);
// scan_single with the current call's result slot as the target.
Cell* scan_single_top(const Cell* text);

}  // namespace conversion
