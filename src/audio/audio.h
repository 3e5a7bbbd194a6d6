// The sample source: unsigned 8-bit mono samples at the rate the run loop
// asks for, handed over one buffer at a time in capture order.
//
// Four kinds of source stand behind the same three operations: the sound
// card (live capture), a recording read from a file, raw samples on
// standard input, and raw samples in UDP datagrams.  The run loop does not
// know which one it reads.
#pragma once

#include <string>

struct audio_setup_t {
    int unused;        // not set or read
    int channels;      // in: the run loop sets 1; capture always records one channel
    int sample_rate;   // in: samples per second (10800)
    int buffer_bytes;  // out: samples per buffer, sample_rate / 10
};

// Open the source at setup->sample_rate.  0 on success (buffer_bytes set),
// -1 after a message on failure.
int audio_init(char* device, audio_setup_t* setup);
// Start delivering samples.  0, or -1 after a message.
int audio_read_begin();
// Block until the next buffer is complete; set *data to it and return its
// sample count.  0 on failure, or at the end of a recording or a pipe.
// The samples stay intact until the next call.
int audio_read(unsigned char** data);

// audio_read for AUDIO_IQ, the samples as floats (full scale +-1) before
// they are quantised to 8 bits.  Only for AUDIO_IQ.
int audio_read_float(float** data);

// ---- choosing the source (set by the command line before the run loop) ----

enum audio_kind_t { AUDIO_LIVE, AUDIO_FILE, AUDIO_PIPE, AUDIO_IQ, AUDIO_UDP };
enum raw_format_t { RAW_U8, RAW_S16LE };

struct audio_source_t {
    audio_kind_t kind;
    const char* path;        // AUDIO_FILE: the recording; AUDIO_UDP: "[ADDRESS:]PORT"
    raw_format_t format;     // AUDIO_PIPE, AUDIO_UDP: raw sample format
    int rate;                // AUDIO_PIPE, AUDIO_UDP: raw samples per second
    const char* device;      // AUDIO_LIVE: capture device chosen by the user, or 0
};

extern audio_source_t audio_source;

// Split "[ADDRESS:]PORT" (ADDRESS may be a name, an IPv4 address, or an IPv6
// address, bracketed or not); the address defaults to 127.0.0.1.  False
// unless PORT is a number from 1 to 65535.
bool udp_split(const char* where, std::string* address, int* port);

// Non-zero once a recording or a pipe has been read to its end, so that the
// run loop can tell the end of the input from a failure.
int audio_end_of_input();

// Whether this build can read recordings (libsndfile), and UDP datagrams.
extern const int audio_can_read_files;
extern const int audio_can_receive_udp;

// ---- backends: each file of this directory provides one of these sets ----

int live_init(const char* device, audio_setup_t* setup);
int live_read_begin();
int live_read(unsigned char** data);

int file_init(const char* path, audio_setup_t* setup);
int file_read_begin();
int file_read(unsigned char** data);
void file_close();  // lets a test or fuzzer open one recording after another

int pipe_init(raw_format_t format, int rate, audio_setup_t* setup);
int pipe_read_begin();
int pipe_read(unsigned char** data);

// AUDIO_IQ: the control channel of an SDR or an IQ recording (src/sdr/,
// set up by sdr_options there).
int iq_init(audio_setup_t* setup);
int iq_read_begin();
int iq_read(unsigned char** data);
// The same samples unquantised, full scale +-1 (DEMOD=1 takes them so: 8
// bits would cost it sensitivity).
int iq_read_float(float** data);

extern int audio_eof;  // set by the file, pipe, IQ and UDP backends at the end of input

// udp.cpp, with the platform's sockets in net_posix.cpp or net_win.cpp.
int udp_init(const char* where, raw_format_t format, int rate, audio_setup_t* setup);
int udp_read_begin();
int udp_read(unsigned char** data);


// ---- DC removal (dc.cpp), applied by audio_read to every source ----

extern int audio_dc_remove;  // not 0: remove a DC offset (the default)
void dc_reset();             // forget the offset: a new input begins
// Subtract the tracked offset from n samples in place.
void dc_remove(unsigned char* samples, int n);
