// What only a program does to its own process: its working directory and
// what an interrupt does to it. Kept out of the library, which never
// changes the process it runs in.
#pragma once

// Makes path, as the system gave it (not a program path: no separator is
// converted), the current directory.
bool enterSystemDirectory(const char* path);

// Interrupts: Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and
// closing the console) no longer end the process at once; they are noted,
// and the program polls for them so that it can remove what it was writing
// first. interruptSignal() is 0 until one came. endWithSignal() then ends
// the process the way the interrupt would have (the signal's own status).
void installInterruptHandlers();
int interruptSignal();
[[noreturn]] void endWithSignal(int signal);

// Whether absolute paths begin with '/', where the command line takes such a
// word for an option.
bool absolutePathsBeginWithSlash();
