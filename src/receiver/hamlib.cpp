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
// retried by Hamlib's front end, so the network rig that stops answering
// costs a command 0.2 s (0.4 s to open).  When a command fails the rig is
// closed and the trouble said once on standard error; the next command
// opens it again.  A connection that was kept open and turns out dead (the
// receiver's program was restarted) is opened again at once and the command
// repeated, unless the command timed out.
//
// Some of Hamlib's radio backends retry on their own, so that a silent radio
// can hold a command for seconds.  The decoder therefore never waits for the
// rig: setfreq hands the frequency to a thread of this file, which tunes the
// rig while decoding goes on.  When commands come faster than the rig takes
// them, only the latest is carried out: the receiver goes where the last
// command said.  At the end of the program the last command is carried out
// before it exits.
//
// Hamlib's own diagnostics are switched off: they would scroll through the
// report lines.
//
// The library is loaded when the first command is given, not with the
// program: loading it starts the client of one of its rotator backends (a
// socket pair, threads' worth of memory), which more than doubles the
// resident memory of every run, and takes the lowest free descriptor, which
// is standard input when that is closed.
#include <hamlib/rig.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "../loader/loader.h"
#include "../Serial/Serial.h"
#include "../mpt1327/mpt1327.h"
#include "receiver.h"

static const int RIG_TIMEOUT_MS = 200;

// What the tuning thread is asked to do: the settings are copied, since the
// decoder may read them afresh meanwhile.
struct rig_command_t {
    freq_t hz;
    unsigned model;
    std::string path;
    unsigned speed;
};

// Shared between the decoder and the tuning thread, under lock.
static std::mutex lock;
static std::condition_variable wake;  // a command or the end
static std::condition_variable done;  // the thread is idle
static rig_command_t next_command;
static bool command_waiting, tuning, stopping;
static std::thread tuner;

// The tuning thread's own.
static RIG* rig;                       // the rig, initialised and open; 0 when closed
static unsigned open_model;            // what it was opened with
static std::string open_path;
static unsigned open_speed;
static receiver_trouble_t rig_trouble;
static rig_command_t command;          // the one being carried out

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

// Whether the library was loaded, and why not.  (Not static in a function:
// the thread may still load it while the program exits.)
static bool load_tried;
static std::string load_failure;

// Load the library and find its functions; an empty text, or why not.
static std::string load_hamlib()
{
    if (load_tried)
        return load_failure;
    load_tried = true;
    std::string& failed = load_failure;
    std::string why;
    void* lib = library_open(HAMLIB_SONAME, &why);
    if (!lib)
        return failed = "cannot load Hamlib: " + why;
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
        *f.fn = library_symbol(lib, f.name);
        if (!*f.fn)
            return failed = std::string("cannot load Hamlib: ") + HAMLIB_SONAME + " has no " + f.name;
    }
    hl.set_debug(RIG_DEBUG_NONE);
    return failed;
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
    std::string who = "Hamlib rig " + std::to_string(command.model) + " at " + command.path;
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


static void set_conf(const char* name, const std::string& value)
{
    token_t token = hl.token_lookup(rig, name);
    if (token != RIG_CONF_END)
        hl.set_conf(rig, token, value.c_str());
}

static const int NO_SUCH_MODEL = 1;
static const int NO_SUCH_DEVICE = 2;
static bool network_rig;  // the rig last opened is reached over the network

// One try at opening the rig: RIG_OK, NO_SUCH_MODEL, NO_SUCH_DEVICE or
// Hamlib's error code (the rig stays closed).
static int open_once()
{
    rig = hl.init((rig_model_t)command.model);
    if (!rig)
        return NO_SUCH_MODEL;
    open_model = command.model;
    open_path = command.path;
    open_speed = command.speed;
    network_rig = rig->caps->port_type == RIG_PORT_NETWORK;
    // Hamlib tries a serial device that is not there for seconds.
    if (rig->caps->port_type == RIG_PORT_SERIAL && command.path.find(':') == std::string::npos &&
        !CSerial::Exists(command.path.c_str())) {
        hl.cleanup(rig);
        rig = nullptr;
        return NO_SUCH_DEVICE;
    }
    set_conf("rig_pathname", command.path);
    int timeout = rig->caps->timeout > 0 ? std::min(rig->caps->timeout, RIG_TIMEOUT_MS)
                                         : RIG_TIMEOUT_MS;
    set_conf("timeout", std::to_string(timeout));
    set_conf("retry", "0");
    if (rig->caps->port_type == RIG_PORT_SERIAL)
        set_conf("serial_speed", std::to_string(command.speed));
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

// Open the rig, as open_once.  A rigctld that has just started now and then
// resets a connection it has just accepted (about one start in ten here):
// when the receiver's program was restarted a moment ago, the first open
// fails with an I/O error and the second works.  So a network rig gets one
// more try after a short pause; when nobody listens at all the connection
// is refused at once, and the pause is the tuning thread's, not the
// decoder's.
static int open_rig()
{
    int r = open_once();
    if (r == -RIG_EIO && network_rig) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        r = open_once();
    }
    return r;
}

// Carry out one command on the tuning thread.
static void tune()
{
    if (rig && (open_model != command.model || open_path != command.path || open_speed != command.speed))
        close_rig();
    std::string unloadable = load_hamlib();
    if (!unloadable.empty()) {
        trouble(unloadable);
        return;
    }
    for (int attempt = 0; attempt < 2; attempt++) {
        bool kept = rig != nullptr;
        if (!kept) {
            int r = open_rig();
            if (r == NO_SUCH_MODEL) {
                trouble("Hamlib has no such rig model");
                return;
            }
            if (r == NO_SUCH_DEVICE) {
                trouble("no such device");
                return;
            }
            if (r != RIG_OK) {
                trouble("cannot open it: " + error_text(r));
                return;
            }
        }
        int r = hl.set_freq(rig, RIG_VFO_CURR, command.hz);
        if (r == RIG_OK) {
            receiver_ok(&rig_trouble);
            return;
        }
        close_rig();
        if (!kept || r == -RIG_ETIMEOUT) {
            trouble("cannot set the frequency: " + error_text(r));
            return;
        }
        // A connection kept open that went dead: once more on a new one.
    }
}

static void tuning_thread()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        wake.wait(hold, [] { return command_waiting || stopping; });
        if (!command_waiting)
            break;
        command = next_command;
        command_waiting = false;
        tuning = true;
        hold.unlock();
        tune();
        hold.lock();
        tuning = false;
        done.notify_all();
    }
}

// Carry out what is asked, end the thread and close the rig.
static void stop()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_one();
    if (tuner.joinable())
        tuner.join();
    stopping = false;
    close_rig();
}

void hamlib_setfreq(double mhz)
{
    receiver_tuning("Hamlib rig " + std::to_string(rigmodel) + " at " + rigpath);
    {
        std::lock_guard<std::mutex> hold(lock);
        next_command = rig_command_t{std::round(mhz * 1e6), rigmodel, rigpath, portspeed};
        command_waiting = true;
        if (!tuner.joinable()) {
            static bool registered;
            if (!registered)
                std::atexit(stop);
            registered = true;
            tuner = std::thread(tuning_thread);
        }
    }
    wake.notify_one();
}

void hamlib_wait()
{
    std::unique_lock<std::mutex> hold(lock);
    done.wait(hold, [] { return !command_waiting && !tuning; });
}

void hamlib_reset()
{
    stop();
    rig_trouble = receiver_trouble_t{};
}
