// Standard output that cannot be written ends the program.
//
// Under a supervisor the console is often a pipe or a file: a full disk, a
// closed descriptor or a reader that has gone away (with SIGPIPE ignored,
// as supervisors often leave it) would otherwise go unnoticed while the
// program decodes for nothing.  Every writer of standard output calls
// output_check after its write; the first failure is said once on standard
// error and the program ends with OUTPUT_FAILED.  The log needs nothing
// more: it is flushed after every line.
#pragma once

#include <cstdio>

const int OUTPUT_FAILED = 1;

// Flush stream; on failure say "marrowit: cannot write NAME: REASON" and end
// the program.  NAME is "standard output" for stdout, "the console" for any
// other stream (a test's capture file).
void output_check(std::FILE* stream);

// At start-up: a closed standard output is the same failure, said before
// anything else happens (a file opened later would take its descriptor and
// receive the console's lines).
void output_check_open();

// Provided by the platform's file (src/audio/stdin_*.cpp).
bool stdout_closed();
