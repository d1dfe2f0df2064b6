// port! values: objects that stand for an I/O endpoint and hand every series and I/O action to
// their actor. The datatype does no I/O itself: it makes ports from a spec and a registered
// scheme, writes them, and forwards.
//
// Cell: the object layout (data1 context node, data2 class id, data3 change-handler information)
// typed 48; a port made by make has class id 2. Fields by position: 0 the spec (an object whose
// first field is the scheme name), 1 the scheme name (a word), 2 the actor; the standard port
// prototype's further fields follow as they were.
//
// An actor is an object! whose functions are named after the actions (each called with the port
// and the action's arguments, every refinement as a logic! flag followed by its argument or
// none!), or a handle! naming a table of native implementations registered here.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace port {

// Class id of the ports make builds.
constexpr int32_t kClassId = 2;

// Native actors: one implementation per action from append (25) to write (62), in action order;
// a null entry is an action the actor does not support. Each runs like the action's own
// implementation (arguments in the frame, one integer per refinement).
constexpr int kNativeActions = kActionCount - ACT_APPEND + 1;
struct NativeActor {
    ActionFn actions[kNativeActions] = {};
};
// Registers a table (kept for the life of the process) and answers the handle value that names
// it; a handle! of that value (any class) in a scheme's actor field makes such ports.
int32_t register_native_actor(const NativeActor* table);

// make port! from a spec object or block: the scheme named by the spec's first field, looked up
// in system/schemes, gives the actor.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

// The actor object of a port; access invalid-port when field 2 holds no object!.
Cell* get_actor(Cell* out, const Cell* port);
// Runs the actor's function named by the action word with the given cells as its arguments
// (the port first); access no-port-action when the actor has no function of that name. The
// result goes into out.
Cell* call_actor(Cell* out, const Cell* actor, const Cell* action_word, const Cell* args, int nargs);

// read: the port's own open (seek flag from /seek), copy (/part) and close; copy's result.
void read(const int32_t* refs);
// write: open/write, insert of the data (/part with an integer! length), copy, close; copy's
// result.
void write(const int32_t* refs);

// Registers port! (type 48, parent object!) and the dispatch of handle actors.
void init();

}  // namespace port
