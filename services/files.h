// The file service (module simple-io): every file-system operation of the run-time passes
// through here. Reading a file whole or in part as text, bytes or lines; writing and appending;
// listing, creating and removing folders; existence, last-write dates, deleting and renaming.
//
// Paths are POSIX paths in UTF-8: a file! value's text is its own OS path, no drive letters, no
// separator translation. Text files are written with LF line ends; reading still folds CR LF.
// The service returns values or raises language errors; it never leaves a descriptor open behind
// a return or an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "datatypes/cell.h"

namespace simple_io {

// ---- Low-level operations over descriptors ----

// Open modes (a bit set): read, write, append, seek. Read opens an existing file; write creates
// it, truncating it unless append or seek is set.
enum OpenMode : int { OPEN_READ = 1, OPEN_WRITE = 2, OPEN_APPEND = 4, OPEN_SEEK = 8 };

// A descriptor, or -1. A path holding a NUL character cannot name a file and fails.
int open_file(const std::string& path, int mode);
// Size in bytes of a regular file; 0 for pipes, devices and the like; -1 on failure.
int64_t file_size(int fd);
// New position from the start of the file, or -1.
int64_t seek_file(int fd, int64_t offset);
// Reads up to n bytes, looping over short reads and EINTR until n bytes or the end of the file.
// Bytes read, or -1 when the read fails.
int64_t read_data(int fd, void* buffer, size_t n);
// Writes all n bytes (looping over partial writes and EINTR); n, or -1 when the write fails.
int64_t write_data(int fd, const void* buffer, size_t n);
int close_file(int fd);
// True when anything (file, folder, device) exists at the path.
bool file_exists_q(const std::string& path);
// Creates one folder level; true on success.
bool make_dir(const std::string& path);

// ---- Paths ----

// The OS path of a file! (or any string) value: its text from the head as UTF-8.
std::string os_path(const Cell* file);
// True when the name ends in "/", is "." or "..", or ends in "/" followed by one or two dots.
bool dir_name_q(const Cell* name);
bool dir_name_q(const std::string& name);

// ---- Value-level operations ----

// Byte count of a /part or /seek argument: an integer!, or a float! or percent! truncated toward
// zero and clamped to the 64-bit range. Other values and NaN raise script invalid-refine-arg
// with the refinement (named without its slash) and the value.
int64_t count_of(const Cell* value, const char* refinement);
// Every `out` is a cell the collector sees (a data-stack cell); it may be the cell of `file`.

// Reads a folder (when dir_name_q says the name is one) or a file. part and seek are byte counts,
// negative when absent. A file that cannot be opened or read raises access cannot-open with the
// file value; a folder that cannot be listed likewise.
void read(const Cell* file, Cell* out, int64_t part, int64_t seek, bool binary, bool lines);
// The file at an OS path as binary!, a block of lines or a string! into out; false (out
// untouched) when it cannot be opened or read. Files whose size reads 0 (pipes, devices, files
// under /proc) are read once to their end. part 0 or a seek past the end gives an empty value.
bool read_file(const std::string& path, Cell* out, int64_t part, int64_t seek, bool binary, bool lines);
// The entries of a folder as a block of file! values: "." and ".." left out, folders with a
// trailing "/", in the order the system gives them.
void read_dir(const Cell* dir, Cell* out);

// Writes data to a file (or to standard output when file is null). part and seek are the
// refinement values or null. Answers the byte count of the last write; a negative /part writes
// nothing and answers -1. A /part that is not an integer! raises script invalid-refine-arg; a
// failed open or write raises access cannot-open with the file.
int64_t write(const Cell* file, const Cell* data, const Cell* part, const Cell* seek, bool binary, bool append,
              bool lines);

// Removes a folder (when the name is a folder name; only an empty one goes) or a file.
bool delete_(const Cell* file);
bool rename(const Cell* from, const Cell* to);
// The last-write time as a UTC date! into out, or none! when the entry does not exist (or the
// name ends in "/" and is no folder).
void query(const Cell* file, Cell* out);

// ---- Conversions ----

// A string! from UTF-8 bytes: a leading byte-order mark dropped, each CR LF folded to LF (a lone
// CR stays). Invalid UTF-8 raises access invalid-utf8; with cut_ok a sequence cut by the end of
// the bytes is dropped instead.
void bytes_to_string(const uint8_t* bytes, size_t n, Cell* out, bool cut_ok = false);
// A block! of strings, one per line: split at LF, one CR before each LF dropped, no empty last
// line after a final LF.
void lines_to_block(const uint8_t* bytes, size_t n, Cell* out, bool cut_ok = false);

// The current folder of the process as a file! ending in "/"; access cannot-open when the
// folder no longer exists.
void current_dir(Cell* out);

}  // namespace simple_io
