// Launching operating-system processes: redirection of the standard streams, capture into
// memory, and waiting. Plain C++ data in and out, so that the natives and tests share it.
#pragma once

#include <cstdint>
#include <string>

namespace process {

// Where a standard stream comes from or goes to.
enum class Target : uint8_t {
    Default,  // not redirected: the null device, or the console's stream with console set
    Data,     // input: the bytes of `data`; output: captured into `data`
    File,     // input: read from the file `data` names; output: appended to it
};

struct Stream {
    Target target = Target::Default;
    std::string data;
};

struct Launch {
    std::string command;
    bool wait = false;
    bool console = false;
    bool shell = false;
    bool program = false;  // the command is one program's path (blanks and quotes are its own)
    Stream input, output, error;
    bool used_shell = false;  // out: the command ran through /bin/sh (asked for, or the retry)
};

// Starts the command. Without shell the command is split into words (double quotes group) and
// the program is looked up on PATH; when it is not found the whole command runs through
// "/bin/sh -c". Any redirection, wait or console makes the call wait; the answer is then the
// exit status (128 + the signal number for a child ended by a signal), else the process id.
// -1 when an input file cannot be opened, a pipe cannot be made or the process cannot start.
// Captured output and error are in launch.output.data and launch.error.data afterwards; both
// are read together with the input being written, so no pipe can block the others.
int64_t run(Launch& launch);

// Opens a document or URL with the desktop's handler (xdg-open), without a shell and without
// waiting. False when the handler cannot be started.
bool open_document(const std::string& target);

// Reaps the children started without waiting that have ended since the last call (each launch
// does it too), so that none stays a zombie.
void reap();
// Whether children started without waiting may still be reaped.
bool unreaped();

}  // namespace process
