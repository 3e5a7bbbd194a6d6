// Shared libraries loaded when a feature is first used (Hamlib, SoapySDR),
// so that a program not using them neither needs nor loads them.  One file
// per platform: loader_posix.cpp (dlopen), loader_win.cpp (LoadLibrary).
#pragma once

#include <string>

// Open the library FILE (a file name: the system's search rules apply;
// on Windows the program's own folder comes first).  nullptr on failure,
// with why in *why.
void* library_open(const char* file, std::string* why);

// The address of a function of an opened library, or nullptr.
void* library_symbol(void* library, const char* name);

// A library that finds its plug-ins through the search path in environment
// variable VAR (SoapySDR's modules): on Windows, FOLDER beside the program
// is added to it, so that the plug-ins shipped with the program are found
// wherever it is unpacked.  Elsewhere the plug-ins are installed where the
// library looks by itself, and nothing is done.
void library_plugins_beside_program(const char* var, const char* folder);
