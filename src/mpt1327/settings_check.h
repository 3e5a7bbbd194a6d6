// Checks of the settings file as read: values that do not read as what
// they are meant to be, and keys that no section holds.  The values are
// still read as before (ini.h); the checks only say what looks wrong.
#pragma once

#include <string>

#include "ini.h"

// Say on standard error, once for each distinct trouble over the whole run,
// what looks wrong in ini (read from the file named file), the system
// section being sysname.
void settings_check(const ini_t* ini, const char* file, const char* sysname);

// The trouble with one numeric value, as said; empty when none.  frequency:
// the value is a frequency in units of 100 Hz.
std::string settings_number_trouble(const std::string& value, bool frequency);
