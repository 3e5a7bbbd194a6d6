// What the call recorder needs from the platform: one file each,
// recorder_posix.cpp and recorder_win.cpp.
#pragma once

#include <ctime>

// The calendar time in UTC of a clock time (thread-safe).
std::tm utc_calendar(std::time_t t);

// Make the folder recordings go to: 0, or -1 with errno set (EEXIST when
// it is there already).
int make_folder(const char* path);
