// Libraries loaded at run time on Linux and other POSIX systems.
#include <dlfcn.h>

#include "loader.h"

void* library_open(const char* file, std::string* why)
{
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = dlerror();
        *why = error ? error : file;
    }
    return library;
}

void* library_symbol(void* library, const char* name)
{
    return dlsym(library, name);
}

void library_plugins_beside_program(const char*, const char*)
{
}
