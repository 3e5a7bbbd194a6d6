// Loading shared libraries at run time (POSIX dynamic loader).
#include "loaded/loaded.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

static std::mutex loading;  // the MQTT client's thread loads too

bool loaded_open(loaded_library_t* lib)
{
    std::lock_guard<std::mutex> lock(loading);
    if (lib->handle)
        return true;
    lib->handle = dlopen(lib->soname, RTLD_NOW | RTLD_LOCAL);
    if (!lib->handle && !lib->failed) {
        lib->failed = true;
        std::fprintf(stderr, "marrowit: cannot load %s (%s): %s\n", lib->what, lib->soname, dlerror());
    }
    return lib->handle != nullptr;
}

void* loaded_symbol(loaded_library_t* lib, const char* name)
{
    if (!loaded_open(lib))
        std::exit(255);
    void* f = dlsym(lib->handle, name);
    if (!f) {
        std::fprintf(stderr, "marrowit: %s (%s) lacks %s\n", lib->what, lib->soname, name);
        std::exit(255);
    }
    return f;
}
