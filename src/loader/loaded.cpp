// Libraries loaded on first use, through the platform's loader (loader.h).
#include "loader/loaded.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "loader/loader.h"

static std::mutex loading;  // the MQTT client's thread loads too

bool loaded_open(loaded_library_t* lib)
{
    std::lock_guard<std::mutex> lock(loading);
    if (lib->handle)
        return true;
    std::string why;
    lib->handle = library_open(lib->soname, &why);
    if (!lib->handle && !lib->failed) {
        lib->failed = true;
        std::fprintf(stderr, "marrowit: cannot load %s (%s): %s\n", lib->what, lib->soname, why.c_str());
    }
    return lib->handle != nullptr;
}

void* loaded_symbol(loaded_library_t* lib, const char* name)
{
    if (!loaded_open(lib))
        std::exit(255);
    void* f = library_symbol(lib->handle, name);
    if (!f) {
        std::fprintf(stderr, "marrowit: %s (%s) lacks %s\n", lib->what, lib->soname, name);
        std::exit(255);
    }
    return f;
}
