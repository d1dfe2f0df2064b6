// Start-up after the run-time's modules are up: the natives and actions from their spec file, the
// datatype words, the environment's Kel sources run in boot order, and the hand-over to the
// console.
#pragma once

#include <string_view>

#include "boot/sources.h"
#include "datatypes/cell.h"

namespace boot {

// True while the boot sources run: functions made then are flagged built-in.
extern bool running;

// The binary images of the embedded sources (each the block the lexer makes of the file), when
// the program carries them: start-up then decodes a source instead of lexing it. Null: lex.
extern const boot_sources::File* (*image_of)(std::string_view name);

// Builds the global environment. Returns normally when every boot source ran.
void build_environment();
// Calls the console's launch (the interactive run or the script of the command line).
void hand_over();

// Loads an embedded source file (its header dropped), with routine definitions and includes
// resolved, into out.
Cell* load_source(Cell* out, std::string_view name);

}  // namespace boot
