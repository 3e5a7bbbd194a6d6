// Settings and start-up.
//
// solvane.ini in the current directory holds three kinds of section:
//
//   [general]   FILTER BINARY TRACK BEEP LOG TARGET_PREF TARGET_ID CORRECT
//   [rs232]     PORTADR PORTSPEED RADIO DEVICE
//   [0x1a2b]    BEGINOFBAND OFFSET STEP CCHFREQUENCY NAME   (one per system)
//
// The system section is named by the identity being received ("0xffff"
// before the first one), so the channel plan and name follow the system on
// the air.  Every key is read on every call and a missing one takes its
// default: a system without a section of its own falls back to the defaults.
// Frequencies are given in units of 100 Hz and held in MHz.
#include <cerrno>
#include <cstring>

#include "families.h"
#include "ini.h"

double filt, verb, track, sound, logger, correct;
unsigned short trg_pre, trg_id;
double baseFreq = 420.0, offset = 2, step = 0.0125, control = 420.0;
unsigned int portadr = 1, portspeed = 9600;
double rx = 1;
std::string portdev;
char sysname[255] = "Unregistered";

const char* settings_file = "solvane.ini";
const char* log_file = "logfile.txt";

// The settings file is named relative to the current directory, so a path
// of any length works.
void mpt1327_setup()
{
    ini_t ini;
    if (ini_load(&ini, settings_file) != 0 && errno != ENOENT)
        std::fprintf(stderr, "marrowit: cannot read %s: %s; using defaults\n", settings_file,
                     std::strerror(errno));

    filt = ini_get_int(&ini, "general", "FILTER", 0);
    verb = ini_get_int(&ini, "general", "BINARY", 0);
    track = ini_get_int(&ini, "general", "TRACK", 0);
    sound = ini_get_int(&ini, "general", "BEEP", 0);
    logger = ini_get_int(&ini, "general", "LOG", 0);
    correct = ini_get_int(&ini, "general", "CORRECT", 0);
    trg_pre = (unsigned short)ini_get_int(&ini, "general", "TARGET_PREF", 0);
    trg_id = (unsigned short)ini_get_int(&ini, "general", "TARGET_ID", 0);

    baseFreq = ini_get_int(&ini, sys, "BEGINOFBAND", 4200000) / 10000.0;
    offset = ini_get_int(&ini, sys, "OFFSET", 2);
    step = ini_get_int(&ini, sys, "STEP", 125) / 10000.0;
    control = ini_get_int(&ini, sys, "CCHFREQUENCY", 4200000) / 10000.0;

    portadr = ini_get_int(&ini, "rs232", "PORTADR", 1);
    portspeed = ini_get_int(&ini, "rs232", "PORTSPEED", 9600);
    rx = ini_get_int(&ini, "rs232", "RADIO", 1);
    portdev = ini_get_string(&ini, "rs232", "DEVICE", "");

    ini_get_string(&ini, sys, "NAME", "Unregistered", sysname, sizeof sysname);

    if (logfile || logger != 1)
        return;
    logfile = std::fopen(log_file, "at");
    if (!logfile)
        std::fprintf(stderr, "marrowit: cannot open log file %s: %s\n", log_file,
                     std::strerror(errno));
    ptext_format("\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  %s", time_stamp());
    pprint(ptext);
}

// Channel plan: ((CHAN + OFFSET) - 2) * STEP + BEGINOFBAND, evaluated in that
// order in extended precision and held as a double.
double chan_freq(unsigned chan)
{
    long double f = (long double)chan + offset;
    f = f - 2;
    f = f * step;
    f = f + baseFreq;
    return (double)f;
}
