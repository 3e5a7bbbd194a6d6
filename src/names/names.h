// Names for units and groups (--aliases FILE).
//
// The file is CSV, one name a line:
//
//   # system, prefix, ident or range, name
//   0x1234, 7, 1001, Taxi base
//   *, 7, 1100-1199, "Cars, north"
//
// system: the identity in hex (0x1234), or * for every system; prefix: 0 to
// 127; ident: 0 to 8191, or a range LOW-HIGH; name: any text, quoted when it
// holds a comma or a quote (a quote doubled inside the quotes).  Lines that
// start with # and blank lines are skipped.  When several lines name an
// ident, a line of its system wins over a * line, then the narrowest range,
// then the first line.
//
// The names are added to every record that has a prefix and ident1 or
// ident2 (ident1_name, ident2_name, right after the ident) before any sink
// sees it, and to the file names of recorded calls.  The file is read again
// when it changes (checked at most once a second of wall time, from the
// input's ticker); a version with a bad line is said, with its line number,
// and the names read before are kept.
#pragma once

#include <string>
#include <vector>

#include "mpt1327/event.h"

struct name_entry_t {
    int sys;           // -1: every system (*)
    unsigned prefix;
    unsigned low, high;  // idents low to high
    std::string name;
    int line;
};

// Read the names of text.  True, or false with the trouble (line number
// first: "line 3: ...") in *why.
bool names_parse(const std::string& text, std::vector<name_entry_t>* entries, std::string* why);

// --aliases FILE: read it and start amending records.  0, or -1 after
// saying why (the program then ends with status 2).
int names_open(const char* path);

// The name of ident of prefix in system sys (-1 before the first
// identity), or nullptr when none is given.
const std::string* names_lookup(int sys, unsigned prefix, unsigned ident);

// Add ident1_name and ident2_name to e where names match.
void names_amend(event_t& e);

// Read the file again if it changed; at most once a second of wall time.
void names_tick();

// A name as part of a file name: ASCII letters, digits, '-' and '.', every
// other run of bytes one '-', no '.' or '-' at either end, 40 bytes at most.
std::string names_file_safe(const std::string& name);

// Forget the names (tests).
void names_reset();
