// A request to stop: Ctrl-C, or SIGINT and SIGTERM where there are signals
// (systemctl stop, kill).  Once caught, the first request ends the input as
// its end would: what was read is decoded, open calls end ("stopped"),
// recordings are closed, the last statistics and the summary are written and
// the program exits normally.  A second request ends the program at once.
// The platform's part is stop_posix.cpp or stop_win.cpp.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// From now on a request to stop is caught.  0, or -1 with the reason in *why.
int stop_catch(std::string* why);
// Whether the program has been asked to stop.
bool stop_requested();

// Read up to n bytes of a stream no other reader uses, waiting for them but
// not past a request to stop: fewer than n only at the end of the stream
// (*ended set: the first end-of-file is the end, even from a terminal), when
// asked to stop (*ended set too), or when reading fails (*failed set, errno
// says why).
size_t stop_read(FILE* f, void* to, size_t n, bool* ended, bool* failed);

#ifndef _WIN32
// A descriptor that becomes readable at a request to stop (for poll).
int stop_fd();
#else
// A console control handler of another part (the sockets') hands the
// request on: true for the first, false when the program should end at once.
bool stop_note_request();
#endif
