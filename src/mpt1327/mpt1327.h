// The MPT 1327 decoder: process-wide state and the operations the run loop,
// the report families and the tests call.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// ---- decoder record -------------------------------------------------------

struct mpt1327_t {
    unsigned short cw[4];   // last 64 bits received, cw[0] the oldest
    unsigned char nbits;    // bits since the last framing point (mod 256)
    unsigned char framing;  // 0 = hunting for a sync word, 1 = collecting 64 bits
};

extern mpt1327_t mpt1327_state;

const unsigned short SYNC_CONTROL = 0xC4D7;  // control channel sync word
const unsigned short SYNC_DATA = 0x3B28;     // data channel sync word (its complement)
// The French variant of the protocol frames with other words (SYNC, SYNT).
const unsigned short SYNC_CONTROL_FR = 0xB433;
const unsigned short SYNC_DATA_FR = 0x4BCC;

// The sync words the framing accepts, as two pairs: both standard (SYNC=0),
// both French (SYNC=1), or one of each (SYNC=2).  Set by mpt1327_setup.
struct sync_pair_t {
    unsigned short control, data;
};
extern sync_pair_t sync_words[2];
inline bool is_control_sync(unsigned short w)
{
    return w == sync_words[0].control || w == sync_words[1].control;
}
inline bool is_data_sync(unsigned short w)
{
    return w == sync_words[0].data || w == sync_words[1].data;
}

// The one test for a sync word in the last 16 bits of the register.
inline bool is_sync(unsigned short word)
{
    return is_control_sync(word) || is_data_sync(word);
}

void mpt1327(unsigned char bit, mpt1327_t* state);
// The end of the input: what the decoder still holds is settled.
void mpt1327_end(mpt1327_t* state);

// What the framing has seen since the start (or since a test reset it):
// sync words found while hunting, framed codewords (system and address)
// that passed the check and that failed it, and every system identity
// decoded, in the order first seen.  With CORRECT=1 a corrected codeword
// counts as passed and also as corrected, and syncs include the slots found
// at their expected position and by re-framing.
struct decode_counts_t {
    unsigned long long syncs = 0;
    unsigned long long passed = 0;
    unsigned long long failed = 0;
    unsigned long long corrected = 0;
    std::vector<unsigned short> systems;
};
extern decode_counts_t decode_counts;
int getbit(int n, unsigned short* words);
unsigned short mpt1327_fcs(mpt1327_t* state);

// ---- system identity ------------------------------------------------------

extern unsigned short currentsys;  // last system identity seen, 0xffff at start
extern unsigned long long system_codewords;  // system codewords decoded so far
extern char sys[8];                // its text "0x%4.4x", names the settings section

// ---- settings (written only by mpt1327_setup) -----------------------------

extern double filt;     // FILTER: report level
extern double verb;     // BINARY: dump codeword bits before a report when exactly 1
extern double track;    // TRACK: stored only
extern double sound;    // BEEP: bell on MOVE and on every follow when not 0
extern double logger;   // LOG: mirror report lines into the log when exactly 1
extern double correct;  // CORRECT: correct bit errors and re-frame when exactly 1
extern unsigned short trg_pre;  // TARGET_PREF
extern unsigned short trg_id;   // TARGET_ID
extern unsigned int calltimeout;  // CALLTIMEOUT: seconds of input without a checked codeword
                                  // after which a followed call is given up (0: never)
extern double baseFreq;  // BEGINOFBAND, MHz
extern double offset;    // OFFSET, channels
extern double step;      // STEP, MHz
extern double control;   // CCHFREQUENCY, MHz
extern unsigned int portadr;    // PORTADR: serial port number n
extern unsigned int portspeed;  // PORTSPEED: bit rate
extern double rx;               // RADIO: receiver model
extern double syncset;  // SYNC: 0 standard sync words, 1 French, 2 both
extern double dcremove; // DCREMOVE: remove a DC offset from the input when not 0
extern double demod;    // DEMOD: 0 the tone correlator, 1 the coherent demodulator (src/demod/);
                        // another value is said (above 1 taken as 0); the run loop reads it at the start
extern double hunt;     // HUNT: seconds without a system codeword before the band is searched
extern std::string portdev;     // DEVICE: terminal device overriding PORTADR (may be empty)
extern unsigned int rigmodel;   // RIG_MODEL: Hamlib's model number (RADIO 3)
extern std::string rigpath;     // RIG_PATH: Hamlib's rig path, a serial device or HOST:PORT
extern char sysname[255];       // NAME of the current system
extern std::string mqtt_user;      // [mqtt] USER (may be empty: no credentials)
extern std::string mqtt_password;  // [mqtt] PASSWORD
extern std::string mqtt_prefix;    // [mqtt] TOPIC: first level of every topic ("marrowit")

extern const char* settings_file;  // "solvane.ini"
extern int settings_retry_ms;      // pause before reading a half-written settings file
                                   // again (5 ms); 0 takes it as it reads at once
extern const char* log_file;       // "logfile.txt"

void mpt1327_setup();

// Frequency in MHz of a channel number under the current channel plan: the
// range of CHANMAP that holds it, else BEGINOFBAND, STEP and OFFSET.  A
// channel in no range of a CHANMAP gets NaN (freq_unmapped in chanmap.h),
// said once on standard error (chanmap.cpp).
double chan_freq(unsigned chan);

// ---- report output --------------------------------------------------------

extern char ptext[256];   // the one report-line buffer
extern FILE* logfile;     // the log stream, 0 until opened
extern FILE* console;     // where report lines, indicators and bells go (stdout)
extern int removemsg;     // 1 while an activity indicator stands on the console
extern bool report_muted; // nothing reaches the console or the log (a decoder --all added)

void pprint(const char* line);
void printbins(unsigned short word);
void console_write(const char* text);  // unlogged console text: "- ALOHA", bells
void console_silence();                // the console shows nothing (standard output is JSON)

// ---- receiver tuning ------------------------------------------------------

void setfreq(double mhz);

// ---- return to the control channel after a time-out (timeout.cpp) ---------

// While the receiver is on a traffic channel because a GTC was followed,
// every CALLTIMEOUT seconds of input without a checked codeword send it
// back to the control channel, as a CLEAR does.
void timeout_follow(unsigned channel, double freq);  // a followed GTC sent the receiver there
void timeout_clear();                                // a CLEAR sent it back
void timeout_codeword();                             // a codeword passed the check
void timeout_tick();                                 // the run loop's ticker
void timeout_reset();                                // nothing followed (tests)
