// file! values: a string holding a path in the system's own form (forward slashes, a folder
// ending in "/"), written %path or %"path with blanks". The parent is url!, whose series actions
// it takes; its own entries are mold and the five I/O actions, which hand over to the file
// service (services/files.h). On POSIX the path's text is its OS path.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace file {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

// Appends the local (OS) form of a path to a string buffer; with full, a relative path gets the
// current folder, ending in "/", in front.
void to_local(const Cell* file, Node dest, bool full);
// The current folder of the process as a new file! ending in "/".
Cell* get_current_dir(Cell* out);

// The I/O actions (frame convention of datatypes/datatype.h).
void read(const int32_t* refs);    // /part /seek /binary /lines /info /as
void write(const int32_t* refs);   // /binary /lines /info /append /part /seek /allow /as
void query(const int32_t* refs);
void delete_(const int32_t* refs);
void rename(const int32_t* refs);

// Registers file! (type 8, parent url!).
void init();

}  // namespace file
