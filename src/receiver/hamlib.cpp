// RADIO 3: any receiver Hamlib drives.
//
//   RIG_MODEL   Hamlib's model number (`rigctl -l` lists them); 2 is the
//               network rig, which speaks the rigctl protocol to rigctld and
//               to the remote-control servers of SDR programs
//   RIG_PATH    Hamlib's rig path: the serial device of a radio, or
//               HOST:PORT for the network rig
//   PORTSPEED   the bit rate of a radio on a serial line
//
// The frequency is set in whole hertz, MHz x 10^6 rounded to the nearest.
//
// Opening a rig can take seconds (some radios are questioned at length), so
// the rig is opened at the first command and kept open; a change of model,
// path or bit rate in the settings (read again at every new system) opens
// it afresh.  Every read from the rig waits at most RIG_TIMEOUT_MS and is not
// retried, so a receiver that stops answering costs a command about half a
// second at most (opening the network rig waits for two answers).  When a
// command fails the rig is closed, and the trouble said once on standard
// error; the next command opens it again.  A connection that was kept open
// and turns out dead (the receiver's program was restarted) is opened again
// at once and the command repeated, unless the command timed out.  After a
// time-out the receiver is left alone for REST_SECONDS of input, so that a
// busy control channel cannot make the decoder fall behind live audio
// while the receiver is silent.
//
// Hamlib's own diagnostics are switched off: they would scroll through the
// report lines.
//
// The library is loaded when the first command is given, not with the
// program: loading it starts the client of one of its rotator backends (a
// socket pair, threads' worth of memory), which more than doubles the
// resident memory of every run, and takes the lowest free descriptor, which
// is standard input when that is closed.
#include <dlfcn.h>
#include <hamlib/rig.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "../mpt1327/event.h"
#include "../mpt1327/mpt1327.h"
#include "receiver.h"

static const int RIG_TIMEOUT_MS = 200;
static const int REST_SECONDS = 2;

static RIG* rig;                       // the rig, initialised and open; 0 when closed
static unsigned open_model;            // what it was opened with
static std::string open_path;
static unsigned open_speed;
static unsigned long long rest_until;  // input sample before which no command is tried
static receiver_trouble_t rig_trouble;

// The functions of the library, once loaded.
static struct {
    decltype(&::rig_set_debug) set_debug;
    decltype(&::rig_init) init;
    decltype(&::rig_token_lookup) token_lookup;
    decltype(&::rig_set_conf) set_conf;
    decltype(&::rig_open) open;
    decltype(&::rig_set_cache_timeout_ms) set_cache_timeout_ms;
    decltype(&::rig_set_freq) set_freq;
    decltype(&::rig_close) close;
    decltype(&::rig_cleanup) cleanup;
    decltype(&::rigerror2) error2;
} hl;

// Load the library and find its functions; an empty text, or why not.
static std::string load_hamlib()
{
    static std::string failed = "-";
    if (failed != "-")
        return failed;
    void* lib = dlopen(HAMLIB_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        return failed = std::string("cannot load Hamlib: ") + (why ? why : HAMLIB_SONAME);
    }
    struct {
        const char* name;
        void** fn;
    } fns[] = {
        {"rig_set_debug", (void**)&hl.set_debug},
        {"rig_init", (void**)&hl.init},
        {"rig_token_lookup", (void**)&hl.token_lookup},
        {"rig_set_conf", (void**)&hl.set_conf},
        {"rig_open", (void**)&hl.open},
        {"rig_set_cache_timeout_ms", (void**)&hl.set_cache_timeout_ms},
        {"rig_set_freq", (void**)&hl.set_freq},
        {"rig_close", (void**)&hl.close},
        {"rig_cleanup", (void**)&hl.cleanup},
        {"rigerror2", (void**)&hl.error2},
    };
    for (auto& f : fns) {
        *f.fn = dlsym(lib, f.name);
        if (!*f.fn)
            return failed = std::string("cannot load Hamlib: ") + HAMLIB_SONAME + " has no " + f.name;
    }
    hl.set_debug(RIG_DEBUG_NONE);
    return failed = "";
}

// Hamlib's text for an error code, without its line end.
static std::string error_text(int code)
{
    const char* text = hl.error2(code);
    std::string t = text ? text : "";
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' '))
        t.pop_back();
    return t.empty() ? "error " + std::to_string(code) : t;
}

static void trouble(const std::string& what)
{
    std::string who = "Hamlib rig " + std::to_string(rigmodel) + " at " + rigpath;
    receiver_trouble(&rig_trouble, who.c_str(), what.c_str());
}

static void close_rig()
{
    if (!rig)
        return;
    hl.close(rig);
    hl.cleanup(rig);
    rig = nullptr;
}

void hamlib_reset()
{
    close_rig();
    rest_until = 0;
    rig_trouble = receiver_trouble_t{};
}

static void set_conf(const char* name, const std::string& value)
{
    token_t token = hl.token_lookup(rig, name);
    if (token != RIG_CONF_END)
        hl.set_conf(rig, token, value.c_str());
}

static const int NO_SUCH_MODEL = 1;

// RIG_OK, NO_SUCH_MODEL or Hamlib's error code (the rig stays closed).
static int open_rig()
{
    rig = hl.init((rig_model_t)rigmodel);
    if (!rig)
        return NO_SUCH_MODEL;
    open_model = rigmodel;
    open_path = rigpath;
    open_speed = portspeed;
    set_conf("rig_pathname", rigpath);
    int timeout = rig->caps->timeout > 0 ? std::min(rig->caps->timeout, RIG_TIMEOUT_MS)
                                         : RIG_TIMEOUT_MS;
    set_conf("timeout", std::to_string(timeout));
    set_conf("retry", "0");
    if (rig->caps->port_type == RIG_PORT_SERIAL)
        set_conf("serial_speed", std::to_string(portspeed));
    int r = hl.open(rig);
    if (r != RIG_OK) {
        hl.cleanup(rig);
        rig = nullptr;
        return r;
    }
    // What the receiver is tuned to may change behind Hamlib's back (a
    // knob, the SDR program's display): never trust a remembered frequency.
    hl.set_cache_timeout_ms(rig, HAMLIB_CACHE_ALL, 0);
    return RIG_OK;
}

void hamlib_setfreq(double mhz)
{
    if (input_sample < rest_until)
        return;
    if (rig && (open_model != rigmodel || open_path != rigpath || open_speed != portspeed))
        close_rig();
    std::string unloadable = load_hamlib();
    if (!unloadable.empty()) {
        trouble(unloadable);
        return;
    }
    freq_t hz = std::round(mhz * 1e6);
    for (int attempt = 0; attempt < 2; attempt++) {
        bool kept = rig != nullptr;
        if (!kept) {
            int r = open_rig();
            if (r == NO_SUCH_MODEL) {
                trouble("Hamlib has no such rig model");
                return;
            }
            if (r != RIG_OK) {
                if (r == -RIG_ETIMEOUT)
                    rest_until = input_sample + (unsigned long long)REST_SECONDS * INPUT_RATE;
                trouble("cannot open it: " + error_text(r));
                return;
            }
        }
        int r = hl.set_freq(rig, RIG_VFO_CURR, hz);
        if (r == RIG_OK) {
            receiver_ok(&rig_trouble);
            return;
        }
        close_rig();
        if (!kept || r == -RIG_ETIMEOUT) {
            if (r == -RIG_ETIMEOUT)
                rest_until = input_sample + (unsigned long long)REST_SECONDS * INPUT_RATE;
            trouble("cannot set the frequency: " + error_text(r));
            return;
        }
        // A connection kept open that went dead: once more on a new one.
    }
}
