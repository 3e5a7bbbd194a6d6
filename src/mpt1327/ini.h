// Reader for the INI-style settings file, with the lookup rules of the
// private-profile files the settings were first written for:
//   - section and key names match without regard to letter case;
//   - blanks around names and values are ignored, and a value enclosed in
//     matching quotes loses the quotes;
//   - lines whose first non-blank character is ';' are comments;
//   - the first section of a name, and the first key of a name in it, count;
//   - an integer is the leading decimal number of the value, optionally
//     signed, taken modulo 2^32 (so -1 reads as 4294967295); a value with no
//     leading digits reads as 0, an empty value as the default;
//   - a missing file, section or key gives the caller's default.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ini_entry_t {
    int section;        // index into ini_t::sections
    std::string key;    // lower case
    std::string value;
};

struct ini_t {
    std::vector<std::string> sections;  // section headers in file order, lower case
    std::vector<ini_entry_t> entries;
    std::vector<std::string> orphans;   // names of keys before any section, as written
};

// Parse settings text.
void ini_parse(ini_t* ini, const std::string& text);

// Read a file whole.  0, or -1 when it does not exist or cannot be read
// (errno tells why).
int ini_read(std::string* text, const char* path);

// Read and parse a file.  Returns 0 when it was read, -1 (with ini empty) when
// it does not exist or cannot be read; errno tells why.
int ini_load(ini_t* ini, const char* path);

// The value as written (quotes removed), or null when absent.
const std::string* ini_find(const ini_t* ini, const char* section, const char* key);

unsigned ini_get_int(const ini_t* ini, const char* section, const char* key, unsigned def);

// Copy the value (or def) into buf, cut to size - 1 characters.
void ini_get_string(const ini_t* ini, const char* section, const char* key, const char* def,
                    char* buf, std::size_t size);
std::string ini_get_string(const ini_t* ini, const char* section, const char* key,
                           const char* def);
