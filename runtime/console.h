// Console output: strings of 1-, 2- and 4-byte units written to standard output as UTF-8.
//
// When standard output is a terminal, ANSI sequences (ESC "[" ...) in strings of 1- and 2-byte
// units are carried out as the emulated console defines them (column-first 0-based cursor
// addressing, the erase variants with the default attributes, SGR arithmetic on 16-bit console
// attributes) and translated into standard VT sequences. When standard output is redirected,
// every byte passes through unchanged. Lines end with LF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace console {

// Console attribute bits: foreground colour 0x01 blue, 0x02 green, 0x04 red, 0x08 intensity;
// background the same shifted left by 4; underscore 0x8000.
namespace attr {
constexpr uint32_t fg_intensity = 0x08;
constexpr uint32_t bg_intensity = 0x80;
constexpr uint32_t underscore = 0x8000;
// The emulated console's start attributes (light grey on black); the translation shows these
// colours as the terminal's own default foreground and background.
constexpr uint32_t initial = 0x07;
}  // namespace attr

// Decides once whether standard output is a terminal and registers the terminal's restorers.
void init_output();
// Keeps the current attributes as the default ones (SGR 0 and every erase use them).
void save_attributes();
uint32_t attributes();
uint32_t default_attributes();

// Terminal: write_ansi; redirected: write_utf8. unit is 1 or 2 (4 goes to write_utf8).
void print_ucs(const void* text, size_t bytes, int unit, bool line_end);
// Writes with escape-sequence emulation; chunks of at most 510 codepoints per write call.
void write_ansi(const void* text, size_t bytes, int unit, bool line_end);
// Writes the codepoints as UTF-8 with no emulation; chunks of at most 1024 bytes per write call.
// A codepoint above 0x10FFFF raises invalid-char after what precedes it is written.
void write_utf8(const void* text, size_t bytes, int unit, bool line_end);
// Writes one codepoint as UTF-8, with no emulation.
void put_wchar(uint32_t codepoint);

// Carries out the sequence that starts at text (an ESC) and returns the bytes it takes, from the
// ESC to the final character inclusive; 0 when the ESC starts no sequence.
size_t ansi_sequence(const void* text, size_t bytes, int unit);
// The attribute that SGR parameter n makes of attr.
uint32_t sgr_attribute(uint32_t attr, uint32_t n);
// Writes the VT SGR sequence that shows attr into out (at least 32 bytes); returns its length.
size_t vt_attribute(uint32_t attr, char* out);

// What the emulation asks of the terminal. Both answer false when they cannot tell.
struct TerminalQueries {
    bool (*size)(int& columns, int& rows);
    bool (*cursor)(int& column, int& row);  // 0-based
};
// Replaces the queries (tests stand in for a terminal); null restores the real ones, which use
// TIOCGWINSZ and a cursor-position report read from the terminal.
void set_terminal_queries(const TerminalQueries* queries);

}  // namespace console
