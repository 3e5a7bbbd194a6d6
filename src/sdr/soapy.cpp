// Live SDRs through SoapySDR's C interface.
//
// The library is opened when a device is asked for, not when the program
// starts: decoding a recording or the sound card does not load it (nor the
// C++ runtime it brings), and a machine without it gets a clear message.
#include <SoapySDR/Constants.h>
#include <SoapySDR/Device.h>
#include <SoapySDR/Errors.h>
#include <SoapySDR/Formats.h>
#include <SoapySDR/Version.h>

#include <cstdio>

#include "audio/stop.h"
#include "loader/loader.h"
#include "sdr.h"

#ifndef SOAPY_LIBRARY
#define SOAPY_LIBRARY "libSoapySDR.so"
#endif

const int sdr_can_open_devices = 1;

namespace {

struct soapy_api_t {
    decltype(&SoapySDRDevice_makeStrArgs) make;
    decltype(&SoapySDRDevice_unmake) unmake;
    decltype(&SoapySDRDevice_lastError) last_error;
    decltype(&SoapySDRDevice_setSampleRate) set_rate;
    decltype(&SoapySDRDevice_setFrequency) set_frequency;
    decltype(&SoapySDRDevice_setGainMode) set_gain_mode;
    decltype(&SoapySDRDevice_setGain) set_gain;
    decltype(&SoapySDRDevice_setupStream) setup_stream;
    decltype(&SoapySDRDevice_activateStream) activate;
    decltype(&SoapySDRDevice_deactivateStream) deactivate;
    decltype(&SoapySDRDevice_closeStream) close_stream;
    decltype(&SoapySDRDevice_readStream) read_stream;
    decltype(&SoapySDR_errToStr) err_to_str;
};

soapy_api_t api;
void* library;
SoapySDRDevice* device;
SoapySDRStream* stream;
bool said_overflow;

template <typename F>
bool load(F* f, const char* name)
{
    *f = reinterpret_cast<F>(library_symbol(library, name));
    return *f != nullptr;
}

bool load_library()
{
    // The modules shipped with the program (Windows): SoapySDR/modules0.8/
    // beside it.
    library_plugins_beside_program("SOAPY_SDR_PLUGIN_PATH",
                                   "SoapySDR/modules" SOAPY_SDR_ABI_VERSION);
    std::string why;
    library = library_open(SOAPY_LIBRARY, &why);
    if (!library) {
        std::fprintf(stderr, "marrowit: cannot load SoapySDR (%s): %s\n", SOAPY_LIBRARY,
                     why.c_str());
        return false;
    }
    bool ok = load(&api.make, "SoapySDRDevice_makeStrArgs") &&
              load(&api.unmake, "SoapySDRDevice_unmake") &&
              load(&api.last_error, "SoapySDRDevice_lastError") &&
              load(&api.set_rate, "SoapySDRDevice_setSampleRate") &&
              load(&api.set_frequency, "SoapySDRDevice_setFrequency") &&
              load(&api.set_gain_mode, "SoapySDRDevice_setGainMode") &&
              load(&api.set_gain, "SoapySDRDevice_setGain") &&
              load(&api.setup_stream, "SoapySDRDevice_setupStream") &&
              load(&api.activate, "SoapySDRDevice_activateStream") &&
              load(&api.deactivate, "SoapySDRDevice_deactivateStream") &&
              load(&api.close_stream, "SoapySDRDevice_closeStream") &&
              load(&api.read_stream, "SoapySDRDevice_readStream") &&
              load(&api.err_to_str, "SoapySDR_errToStr");
    if (!ok)
        std::fprintf(stderr, "marrowit: %s lacks the functions this program uses\n", SOAPY_LIBRARY);
    return ok;
}

int fail(const char* what, const char* args)
{
    const char* why = api.last_error ? api.last_error() : "";
    std::fprintf(stderr, "marrowit: sdr:%s: %s%s%s\n", args, what, why && *why ? ": " : "",
                 why ? why : "");
    soapy_close();
    return -1;
}

}  // namespace

int soapy_open(const char* args, double rate, double center, bool gain_auto, double gain)
{
    if (!library && !load_library())
        return -1;
    device = api.make(args);
    if (!device)
        return fail("no such device", args);
    if (api.set_rate(device, SOAPY_SDR_RX, 0, rate) != 0)
        return fail("cannot set the sample rate", args);
    if (api.set_frequency(device, SOAPY_SDR_RX, 0, center, nullptr) != 0)
        return fail("cannot tune", args);
    if (api.set_gain_mode(device, SOAPY_SDR_RX, 0, gain_auto) != 0 && gain_auto)
        std::fprintf(stderr, "marrowit: sdr:%s: no automatic gain; give --gain\n", args);
    if (!gain_auto && api.set_gain(device, SOAPY_SDR_RX, 0, gain) != 0)
        return fail("cannot set the gain", args);
    stream = api.setup_stream(device, SOAPY_SDR_RX, SOAPY_SDR_CF32, nullptr, 0, nullptr);
    if (!stream)
        return fail("cannot stream", args);
    if (api.activate(device, stream, 0, 0, 0) != 0)
        return fail("cannot start streaming", args);
    return 0;
}

int soapy_read(iq_sample_t* out, int n)
{
    if (stop_requested())
        return 0;  // the end of the input
    int have = 0;
    while (have < n) {
        void* buffs[1] = {out + have};
        int flags = 0;
        long long time_ns = 0;
        int got = api.read_stream(device, stream, buffs, (size_t)(n - have), &flags, &time_ns,
                                  1000000);
        if (got > 0) {
            have += got;
        } else if (got == SOAPY_SDR_OVERFLOW) {
            // Samples were dropped: the machine did not keep up for a moment.
            if (!said_overflow)
                std::fprintf(stderr, "marrowit: the SDR dropped samples (overflow)\n");
            said_overflow = true;
        } else if (got != SOAPY_SDR_TIMEOUT && got != 0) {
            std::fprintf(stderr, "marrowit: reading the SDR: %s\n", api.err_to_str(got));
            return -1;
        }
    }
    return n;
}

void soapy_close()
{
    if (device && stream) {
        api.deactivate(device, stream, 0, 0);
        api.close_stream(device, stream);
    }
    if (device)
        api.unmake(device);
    stream = nullptr;
    device = nullptr;
}
