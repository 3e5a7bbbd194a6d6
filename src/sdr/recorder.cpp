// The call recorder: every followed voice call on a traffic channel inside
// the captured band is demodulated for as long as the call tracker holds it
// open, and written as a 16-bit mono WAV at 16000 Hz into the --record
// directory.  The call tracker closes calls at their CLEAR, at a new
// allocation of the channel and at the end of the input; with CALLTIMEOUT
// set, a recorded call is also closed once its traffic channel has carried
// no signal (squelch closed) for that many seconds: a CLEAR that was not
// heard must not leave a file growing, but a long call goes on to its end.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <sndfile.h>

#include "channel.h"
#include "mpt1327/calls.h"
#include "mpt1327/chanmap.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "names/names.h"
#include "recorder_platform.h"
#include "sdr.h"
#include "mpt1327/decoder.h"

namespace {

const int wav_rate = 16000;

struct recording_t {
    unsigned channel;
    channel_t* dsp;
    SNDFILE* wav;
    unsigned long long start_sample;
    unsigned long long heard_sample;  // input time of the last block with a signal
    int blocks;  // written since the header was last brought up to date
    std::string path;
    bool cut;    // a write failed: nothing more is written to the file
};

std::vector<recording_t> recordings;
std::vector<float> wav_audio;
std::set<unsigned> said_outside;  // channels reported outside the band
long long run_start;              // UTC seconds when the input started
channel_plan_t plan;
bool started;
unsigned long long calls_seen, calls_followed;
// One decoder's (mpt1327/decoder.h): its calls and their files.
decoder_var(recordings);
decoder_var(said_outside);
decoder_var(calls_seen);
decoder_var(calls_followed);

// Only followed calls are recorded: when the TARGET rules followed none,
// say at the end how to record them all.
void at_end()
{
    if (calls_seen > 0 && calls_followed == 0)
        std::fprintf(stderr,
                     "marrowit: --record: the TARGET rules followed none of the %llu calls, so "
                     "none was recorded; TARGET_PREF=9999 in [general] records every call\n",
                     calls_seen);
}

void close_recording(size_t k)
{
    channel_close(recordings[k].dsp);
    sf_close(recordings[k].wav);
    recordings.erase(recordings.begin() + (std::ptrdiff_t)k);
}

void on_start(call_t* call)
{
    calls_seen++;
    calls_followed += call->followed;
    if (!call->followed || freq_unmapped(call->freq))  // no range of CHANMAP: said already
        return;
    if (!sdr_in_band(call->freq)) {
        if (said_outside.insert(call->channel).second)
            std::fprintf(stderr,
                         "marrowit: channel %u at %.4f MHz lies outside the captured band "
                         "(%s); its calls are not recorded\n",
                         call->channel, call->freq, sdr_usable_band().c_str());
        return;
    }
    long long utc = run_start + (long long)(input_sample / INPUT_RATE);
    std::string dir = std::string(sdr_options.record_dir) + "/";
    std::string name = recorder_file_name(*call, utc);
    std::string path = dir + name;
    // The same parties on the same channel again within the second: the
    // earlier file is kept.
    struct stat st;
    for (int k = 2; stat(path.c_str(), &st) == 0; k++)
        path = dir + name.substr(0, name.size() - 4) + "-" + std::to_string(k) + ".wav";
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = wav_rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* wav = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!wav) {
        std::fprintf(stderr, "marrowit: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return;
    }
    sf_command(wav, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    recording_t r;
    r.channel = call->channel;
    r.dsp = channel_open(plan, sdr_offset_hz(call->freq), wav_rate, true);
    r.wav = wav;
    r.start_sample = input_sample;
    r.heard_sample = input_sample;
    r.blocks = 0;
    r.path = path;
    r.cut = false;
    if (wav_audio.size() < (size_t)channel_max_out(r.dsp))
        wav_audio.resize((size_t)channel_max_out(r.dsp));
    recordings.push_back(r);
    call->file = path;
}

void on_end(call_t* call, call_end_t)
{
    for (size_t k = 0; k < recordings.size(); k++)
        if (recordings[k].channel == call->channel) {
            close_recording(k);
            return;
        }
}

// CALLTIMEOUT of silence on the traffic channel, checked after every buffer
// of the control channel.
void tick()
{
    if (!(calltimeout > 0))
        return;
    unsigned long long limit = (unsigned long long)(calltimeout * INPUT_RATE);
    std::vector<unsigned> expired;
    for (const recording_t& r : recordings)
        if (input_sample - r.heard_sample >= limit)
            expired.push_back(r.channel);
    for (unsigned channel : expired)
        calls_end(channel, CALL_TIMEOUT);
}

}  // namespace

std::string recorder_file_name(const call_t& call, long long utc_start)
{
    std::time_t t = (std::time_t)utc_start;
    std::tm tm_utc = utc_calendar(t);
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &tm_utc);
    // The parties' names (--aliases), when given, follow their idents.
    std::string names[2];
    unsigned idents[2] = {call.ident1, call.ident2};
    for (int k = 0; k < 2; k++)
        if (const std::string* n = names_lookup(call.sys, call.prefix, idents[k])) {
            names[k] = names_file_safe(*n);
            if (!names[k].empty())
                names[k] = "_" + names[k];
        }
    char name[256];
    std::snprintf(name, sizeof name, "%s_%04x_ch%u_%u-%u%s_from_%u%s.wav", when,
                  call.sys < 0 ? 0xffffu : (unsigned)call.sys, call.channel, call.prefix,
                  call.ident1, names[0].c_str(), call.ident2, names[1].c_str());
    return name;
}

// The folder and its missing parents are made, and a file is made and
// removed in it, so that a folder that cannot take the recordings is said at
// the start rather than at every call.
static int record_dir_usable(const char* dir)
{
    std::string path = dir;
    for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        struct stat st;
        if (!part.empty() && stat(part.c_str(), &st) != 0 && make_folder(part.c_str()) != 0 &&
            errno != EEXIST)
            break;
        if (at == std::string::npos)
            break;
    }
    std::string probe = path + "/.marrowit-probe";
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "marrowit: cannot record calls into %s: %s\n", dir,
                     std::strerror(errno));
        return -1;
    }
    std::fclose(f);
    std::remove(probe.c_str());
    return 0;
}

int recorder_start()
{
    if (started)
        return 0;
    if (record_dir_usable(sdr_options.record_dir) != 0)
        return -1;
    started = true;
    channel_plan(&plan, sdr_options.rate);
    run_start = (long long)std::time(nullptr);
    call_listener_t l;
    l.start = on_start;
    l.end = on_end;
    calls_add_listener(l);
    input_add_ticker(tick);
    input_add_end(at_end);
    return 0;
}

void recorder_process(const iq_sample_t* in, int n)
{
    for (recording_t& r : recordings) {
        int count = channel_process(r.dsp, in, n, wav_audio.data());
        if (channel_carrier(r.dsp))
            r.heard_sample = input_sample;
        for (int i = 0; i < count; i++)
            wav_audio[(size_t)i] *= 0.5f;
        if (r.cut)
            continue;
        errno = 0;
        if (sf_write_float(r.wav, wav_audio.data(), count) != count) {
            // A full disk, or the file gone: the recording ends here, its
            // header saying what reached the file.
            std::fprintf(stderr, "marrowit: cannot write %s: %s; the recording is cut short\n",
                         r.path.c_str(), errno ? std::strerror(errno) : sf_strerror(r.wav));
            r.cut = true;
            sf_command(r.wav, SFC_UPDATE_HEADER_NOW, nullptr, 0);
            continue;
        }
        // About once a second the header gets the length so far: a file cut
        // short by the end of the program (Ctrl-C, power) still plays.
        if (++r.blocks == 100) {
            sf_command(r.wav, SFC_UPDATE_HEADER_NOW, nullptr, 0);
            r.blocks = 0;
        }
    }
}
