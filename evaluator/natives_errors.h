// Natives that catch errors and start or end the non-local exits: try, break, continue, exit,
// return, throw and catch.
#pragma once

#include <cstdint>

namespace natives {

void try_(int check, const int32_t* refs);
void break_(int check, const int32_t* refs);
void continue_(int check, const int32_t* refs);
void exit(int check, const int32_t* refs);
void return_(int check, const int32_t* refs);
void throw_(int check, const int32_t* refs);
void catch_(int check, const int32_t* refs);

// The end of a try run by C++ code (the console, attempt): the caught value is the top cell of
// the data stack; with keep its call trace is filled in. The throw error of an uncaught throw
// is raised again; anything else becomes the result.
void try_end(bool keep);

}  // namespace natives
