// IQ input: a live SDR or a raw IQ recording as the sample source.
//
// The whole captured band arrives as complex samples.  The control channel
// (CCHFREQUENCY of the settings) is cut out of it, FM-demodulated and handed
// to the run loop as the unsigned 8-bit samples at 10800 Hz that every
// other source delivers, so the demodulator does not know where they came
// from.  Followed calls on traffic channels inside the band are demodulated
// beside it, without a gap on the control channel, and written as WAV files
// (recorder.cpp).
#pragma once

#include <complex>
#include <string>

#include "audio/audio.h"

enum iq_format_t { IQ_CU8, IQ_CS16, IQ_CF32 };

struct sdr_options_t {
    const char* device_args = nullptr;  // sdr:ARGS, SoapySDR device arguments
    const char* path = nullptr;         // iq:FILE ("-": standard input)
    iq_format_t format = IQ_CU8;        // of the recording
    double center = 0;                  // Hz, tuned (or recorded) centre
    double rate = 2048000;              // IQ samples per second
    bool gain_auto = true;
    double gain = 0;                    // dB when not automatic
    double ppm = 0;                     // receiver's frequency error (positive: runs fast)
    const char* record_dir = nullptr;   // --record: where followed calls are written
    const char* play_device = nullptr;  // --play: the sound device the followed call plays on
    bool all = false;                   // --all: every control channel of the band (all.cpp)
};
extern sdr_options_t sdr_options;

// Whether this build has IQ input (liquid-dsp) and live SDRs (SoapySDR).
extern const int sdr_can_demodulate;
extern const int sdr_can_open_devices;

typedef std::complex<float> iq_sample_t;

// ---- where the IQ comes from -------------------------------------------------

// A raw recording ("-": standard input): 0, or -1 after a message.
int iq_file_open(const char* path, iq_format_t format);
// Up to n samples into out; their count, 0 at the end, -1 after a message.
int iq_file_read(iq_sample_t* out, int n);
void iq_file_close();

// A SoapySDR device, tuned and streaming: 0, or -1 after a message.
int soapy_open(const char* args, double rate, double center, bool gain_auto, double gain);
// Exactly n samples into out (blocking): n, or -1 after a message.
int soapy_read(iq_sample_t* out, int n);
void soapy_close();

// ---- the call recorder -------------------------------------------------------

// Hook the recorder into the call tracker and the input clock (called by
// iq_init when calls are to be recorded).
int recorder_start();  // 0, or -1 after a message: the folder cannot be written
// Feed one block of IQ (n new samples at in[0..n), with history before
// in[0] as channel.h describes) to every channel being recorded.
void recorder_process(const iq_sample_t* in, int n);

// ---- further control channels (--all, all.cpp) ----------------------------------

struct channel_plan_t;
// Start surveying the band from the first block: 0, or -1 after a message.
int all_init(const channel_plan_t& plan);
// One block of IQ (with history before it, as channel.h describes), after
// the first decoder's calls and hunter and before its control channel;
// first_mhz is where the first decoder's control channel is cut.  Every
// further decoder runs its block; a survey under way takes it and may open
// more of them.
void all_process(const iq_sample_t* block, int n, double first_mhz);
// The end of the input: every further decoder ends as the first does.
void all_end();
// How many further decoders are running (for the tests and the benchmark).
int all_count();
// Whether a further decoder's control channel is cut at mhz.
bool all_decodes(double mhz);

// ---- the player (--play) -----------------------------------------------------

// Open the sound device and hook the player into the call tracker (called
// by iq_init with --play): 0, or -1 after a message.
int player_start();
// Feed one block of IQ, as recorder_process: the newest followed call's
// audio, or silence, goes to the sound card; an IQ recording is paced here.
void player_process(const iq_sample_t* in, int n);

// The name a recording of a call gets:
// <UTC start>_<sys hex>_ch<channel>_<prefix>-<ident1>_from_<ident2>.wav
struct call_t;
std::string recorder_file_name(const call_t& call, long long utc_start);

// The captured band, for the in-band test: a frequency (MHz) is usable when
// its channel lies wholly inside it.  Its offset from the centre in Hz,
// corrected for the receiver's frequency error.
double sdr_offset_hz(double mhz);
bool sdr_in_band(double mhz);
// The band sdr_in_band compares with, for messages: "usable: 419.2385 to
// 421.2615 MHz, --center and --rate less 12.5 kHz at each edge".
std::string sdr_usable_band();
