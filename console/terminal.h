// The console's input: the routines behind ask and input, standard-input reading, and the
// console's initialisation.
#pragma once

namespace terminal {

// Registers the console's routines.
void init();

}  // namespace terminal
