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

// The one test for a sync word in the last 16 bits of the register.
inline bool is_sync(unsigned short word)
{
    return word == SYNC_CONTROL || word == SYNC_DATA;
}

void mpt1327(unsigned char bit, mpt1327_t* state);

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
extern double baseFreq;  // BEGINOFBAND, MHz
extern double offset;    // OFFSET, channels
extern double step;      // STEP, MHz
extern double control;   // CCHFREQUENCY, MHz
extern unsigned int portadr;    // PORTADR: serial port number n
extern unsigned int portspeed;  // PORTSPEED: bit rate
extern double rx;               // RADIO: receiver model
extern std::string portdev;     // DEVICE: terminal device overriding PORTADR (may be empty)
extern char sysname[255];       // NAME of the current system

extern const char* settings_file;  // "solvane.ini"
extern const char* log_file;       // "logfile.txt"

void mpt1327_setup();

// Frequency in MHz of a channel number under the current channel plan.
double chan_freq(unsigned chan);

// ---- report output --------------------------------------------------------

extern char ptext[256];   // the one report-line buffer
extern FILE* logfile;     // the log stream, 0 until opened
extern FILE* console;     // where report lines, indicators and bells go (stdout)
extern int removemsg;     // 1 while an activity indicator stands on the console

void pprint(const char* line);
void printbins(unsigned short word);
void console_write(const char* text);  // unlogged console text: "- ALOHA", bells

// ---- receiver tuning ------------------------------------------------------

void setfreq(double mhz);
