// The process entry: start-up, command line, one mode, exit status.
#pragma once

// Runs the program and returns its exit status: 1 after a clean run (and
// after the usage text or a rejected command line), 0 when the mode raised
// the error or the warning flag.
int runProgram(int argc, const char* const* argv);
