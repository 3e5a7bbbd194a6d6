// Signal generator for tests, benchmarks and the demo: builds valid MPT 1327
// codewords from their fields and renders bit streams as FFSK audio.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// ---- codewords -------------------------------------------------------------

// Fill bits 49-64 of a codeword from its information bits 1-48: the fifteen
// check bits of the (63,48) code, the last one inverted, and even parity.
void gen_encode(unsigned short cw[4]);

// The check field (bits 49-64) that information bits 1-48 of cw call for.
unsigned short gen_check_field(const unsigned short cw[4]);

// A system codeword for a 15-bit SYS: address flag 0, SYS, bits 17-32 chosen
// so that the check field is the sync word, preamble 0xAAAA, sync word.
// Returns 0, or -1 if no bits 17-32 give that check field.
int gen_system_codeword(unsigned short cw[4], unsigned sysid, unsigned short sync);

// The control-channel sync word that ccsc, dcsc and random frame with: the
// standard 0xC4D7 or the French variant's 0xB433.  The data-channel word
// is its complement.  Changed by the script line "sync standard|french".
extern unsigned short gen_sync;

// Build one codeword from a line of the generator's script language, for
// example "gtc pfix=12 ident1=345 ident2=678 chan=42".  Returns 0, or -1
// with a reason in *error.
int gen_message(const std::string& line, unsigned short cw[4], std::string* error);

// ---- bit streams -----------------------------------------------------------

const unsigned char GEN_SILENT = 2;  // a bit period without signal

// pi and the square root of one half, written out: not every C library's
// math.h defines M_PI and M_SQRT1_2 in a strict C++17 build (MinGW-w64's
// does not).
const double gen_pi = 3.14159265358979323846;
const double gen_sqrt_half = 0.70710678118654752440;

typedef std::vector<unsigned char> gen_bits_t;

void gen_append_codeword(gen_bits_t* bits, const unsigned short cw[4]);
void gen_append_preamble(gen_bits_t* bits, int n);  // 1010...

// Run a whole script: one command per line, '#' starts a comment.
//   ccsc SYS | dcsc SYS               system codeword
//   aloha|ack|req|bcast|maint|move|sam|head|gtc|clear field=value ...
//   words W1 W2 W3 [W4]               three words: check field added; four: as given
//   bits 0110...                       literal bits
//   preamble N | silence N             N bit periods of 1010... or of no signal
//   random N [seed=S] [sys=SYS]        N control-channel slots of random valid traffic
//   sync standard|french               sync words of the codewords that follow
// Codeword lines also take set=FIRST-LAST:VALUE and flip=N (bit N inverted
// after encoding, which makes the codeword invalid).
// Appends to *bits and, for every codeword, its four words to *words.
// Returns 0, or -1 with "line N: reason" in *error.  With marks, every
// codeword is noted there with the bit count at its end.
struct gen_mark_t {
    long long end_bit;     // bits of the stream up to the codeword's end
    unsigned short cw[4];
};
int gen_script(const std::string& text, gen_bits_t* bits, std::vector<unsigned short>* words,
               std::string* error, std::vector<gen_mark_t>* marks = nullptr);

// ---- audio -----------------------------------------------------------------

struct gen_audio_t {
    double rate = 10800;     // samples per second
    double level = 0.5;      // tone amplitude, fraction of full scale
    double snr_db = 1e9;     // signal-to-noise ratio over the whole band; 1e9 = no noise
    std::uint64_t seed = 1;  // noise seed
    double dc = 0;           // DC offset, fraction of full scale
    double dc_hz = 0;        // when above 0, the offset swings: dc * sin(2 pi dc_hz t)
    double ppm = 0;          // sample clock error: the audio runs this much fast
    int lead = 32;           // preamble bits before the stream
    int tail = 16;           // preamble bits after it
    int channels = 1;        // channels beyond the first carry a steady 1800 Hz tone

    // A real receiver's faults, all off by default (the output is then as
    // without them, sample for sample).  See gen_rx_filter_t and
    // stream_render for the order in which they act and why.
    double tilt = 0;         // dB per octave: 1800 Hz this much per octave above 1200 Hz
    double bp_lo = 0;        // audio band-pass, Hz; both 0: none
    double bp_hi = 0;
    bool fm_noise = false;   // noise rising 6 dB per octave, as from an FM discriminator
    double clicks = 0;       // clicks per second, at random times
    bool hum = false;        // 50 Hz and its harmonics,
    double hum_db = 0;       //   this much power relative to the tone's
    double drift_db = 0;     // the level sinks by up to this much and back,
    double drift_s = 0;      //   over this many seconds, again and again
};

// The receiver's audio chain that the tones pass before noise is added:
// a first-order tilt (de-emphasis or pre-emphasis), then a Butterworth
// band-pass, high-pass and low-pass of order 4 each.  A chain of biquads
// (the tilt is one with b2 = a2 = 0).
struct gen_biquad_t {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;  // a0 = 1
    double s1 = 0, s2 = 0;                          // transposed direct form II
};
struct gen_rx_filter_t {
    int n = 0;
    gen_biquad_t stage[5];
};

// Design the chain for opt (tilt, bp_lo, bp_hi at opt.rate).  Returns 0, or
// -1 with a reason in *error (a tilt no first-order section can give at
// this rate, a band-pass outside 0 to half the rate).
int gen_rx_filter_init(gen_rx_filter_t* f, const gen_audio_t& opt, std::string* error);

// One sample through the chain.
double gen_rx_filter_step(gen_rx_filter_t* f, double x);

// The chain's gain (as a fraction) and group delay (samples) at hz.
void gen_rx_filter_response(const gen_rx_filter_t& f, double rate, double hz, double* gain,
                            double* delay);

// Streaming renderer, for streams too long to hold as audio.  Level, noise
// and clock error may be changed in opt between calls.
struct gen_stream_t {
    gen_audio_t opt;
    double phase, decoy;
    long long sample;    // samples rendered so far
    double bit_time;     // signal time of the next sample, in bits
    bool exact_clock;    // no clock error so far: bit times in integer arithmetic
    long long bit_base;  // stream index of pending[0]
    gen_bits_t pending;
    std::mt19937_64 rng;
    std::normal_distribution<double> gauss;
    // The receiver's faults (gen_audio_t): the audio chain, the last noise
    // sample (FM noise is its difference), the click generator with a
    // random stream of its own (so that clicks leave the noise as it was),
    // the time to the next click and the one sounding.
    gen_rx_filter_t rx;
    double last_noise;
    std::mt19937_64 click_rng;
    double next_click;   // samples
    double click;        // amplitude of the click now decaying
    long long clicks;    // clicks begun so far
};
// Queues the lead-in.  Returns 0, or -1 with a reason when the receiver's
// faults cannot be made at this rate (see gen_rx_filter_init).
int gen_stream_begin(gen_stream_t* g, const gen_audio_t& opt, std::string* error = nullptr);
void gen_stream_bits(gen_stream_t* g, const gen_bits_t& bits, std::vector<float>* out);
void gen_stream_end(gen_stream_t* g, std::vector<float>* out);  // the tail, and the rest

// Render as phase-continuous FFSK, 1200 Hz for 1 and 1800 Hz for 0; samples
// in [-1, 1), interleaved when there are several channels.
std::vector<float> gen_render(const gen_bits_t& bits, const gen_audio_t& opt);

// Quantise and write.  kind: "u8" or "s16" raw samples, or a container
// libsndfile writes: "wav", "wav16", "au", "flac", "aiff".  path "-" is
// standard output (raw only).  Returns 0, or -1 with a reason.
int gen_write(const std::vector<float>& samples, const gen_audio_t& opt, const std::string& kind,
              const std::string& path, std::string* error);

// Raw samples ("u8" or "s16") onto an open stream.
bool gen_write_raw(const std::vector<float>& samples, const std::string& kind, std::FILE* f,
                   std::string* error);

// The samples as the run loop would see them (unsigned 8-bit).
std::vector<unsigned char> gen_u8(const std::vector<float>& samples);

// ---- IQ --------------------------------------------------------------------

// A capture of a site as an SDR makes it: the control channel frequency-
// modulated by the FFSK of the bit stream, and every traffic channel that a
// voice GTC allocates carrying a steady tone from the end of the GTC to the
// end of the CLEAR for its channel (or of the stream).
struct gen_iq_t {
    double rate = 2048000;      // IQ samples per second
    double center = 420.25e6;   // Hz at the centre of the capture
    double control = 420e6;     // Hz of the control channel
    std::vector<std::pair<double, double>> moves;  // seconds, Hz: the control channel moves there
    double base = 420e6;        // channel plan: channel c at base + c * step (OFFSET 2)
    double step = 12500;
    std::vector<std::pair<unsigned, double>> chan_at;  // channel, Hz: off the plan (a second range)
    double deviation = 2500;    // peak deviation of the control channel, Hz
    double traffic_deviation = 2500;
    double tone = 1000;         // Hz on traffic channels without a tone of their own
    std::vector<std::pair<unsigned, double>> tones;  // channel, Hz
    std::vector<unsigned> dead;  // channels whose calls send no carrier at all
    double level = 0.2;         // amplitude of each carrier, fraction of full scale
    double snr_db = 1e9;        // each carrier against the noise of the whole band
    double ppm = 0;             // the receiver's frequency error (positive: runs fast)
    std::uint64_t seed = 1;
    int lead = 32;              // preamble bits before the stream
    int tail = 16;              // preamble bits after it
    // Further sites in the same band (--site): each its own control channel
    // with its own script, and its own traffic channels on the same plan.
    struct site_t {
        double control = 0;            // Hz
        gen_bits_t bits;               // the script's bits
        std::vector<gen_mark_t> marks;
    };
    std::vector<site_t> sites;
};

// The frequency of a traffic channel, Hz.
double gen_iq_channel_hz(const gen_iq_t& opt, unsigned chan);

// Write an IQ capture of bits (codewords noted in marks) to f: "cu8" (unsigned
// 8-bit pairs), "cs16" (signed 16-bit little-endian pairs) or "cf32".
// Returns 0, or -1 with a reason.
int gen_iq_write(const gen_bits_t& bits, const std::vector<gen_mark_t>& marks,
                 const gen_iq_t& opt, const std::string& kind, std::FILE* f, std::string* error);
