// A shared library loaded when its feature is first used, so that a run
// without the feature neither maps it nor what it pulls in (FFTW with
// liquid-dsp, OpenSSL with libmosquitto).  The files liquid.cpp and
// mosquitto.cpp define the functions the program calls, each forwarding to
// the library's own, so the code that uses them is the same whether the
// library is linked (the Windows build) or loaded.
#pragma once

struct loaded_library_t {
    const char* soname;  // "libliquid.so.1"
    const char* what;    // "liquid-dsp", for messages
    void* handle;
    bool failed;         // said why it cannot be loaded
};

// Load it (once): true, or false after saying why.
bool loaded_open(loaded_library_t* lib);

// A function of it, the library loaded on first use; one that cannot be
// had ends the program (status 255) after saying why.
void* loaded_symbol(loaded_library_t* lib, const char* name);

// The definition of a forwarding function: the library's function of the
// same name, looked up once.
#define LOADED_FORWARD(lib, ret, name, params, args)                                       \
    ret name params                                                                         \
    {                                                                                       \
        static const auto f = reinterpret_cast<decltype(&name)>(loaded_symbol(&lib, #name)); \
        return f args;                                                                      \
    }
