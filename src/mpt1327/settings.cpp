// Settings and start-up.
//
// solvane.ini in the current directory holds three kinds of section:
//
//   [general]   FILTER BINARY TRACK BEEP LOG TARGET_PREF TARGET_ID CALLTIMEOUT SYNC
//               DCREMOVE CORRECT DEMOD
//   [rs232]     PORTADR PORTSPEED RADIO DEVICE RIG_MODEL RIG_PATH
//   [mqtt]      USER PASSWORD TOPIC
//   [0x1a2b]    BEGINOFBAND OFFSET STEP CHANMAP CCHFREQUENCY NAME   (one per system)
//
// The system section is named by the identity being received ("0xffff"
// before the first one), so the channel plan and name follow the system on
// the air.  Every key is read on every call and a missing one takes its
// default: a system without a section of its own falls back to the defaults.
// Frequencies are given in units of 100 Hz and held in MHz.
//
// Each read takes one snapshot of the file and reads every key from it.  The
// file may be edited while the program runs, and a rewrite in place
// (truncate, then write) can be caught half done; taken at its word, such a
// snapshot would put the defaults in force, the first serial port among
// them.  So a snapshot that is empty, or whose last line has no line end,
// is read again every settings_retry_ms (5 ms) for up to SETTLE_TRIES (40)
// times, 0.2 s: the first whole one counts, and only when none comes is the
// last one taken as it reads (an empty file, a file without its final line
// end).  A missing file is not waited for: it gives the defaults.  Writing a
// new file and renaming it over the old one is never seen half done.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "chanmap.h"
#include "families.h"
#include "ini.h"
#include "settings_check.h"
#include "mpt1327/decoder.h"

double filt, verb, track, sound, logger, correct;
unsigned short trg_pre, trg_id;
unsigned int calltimeout;
double baseFreq = 420.0, offset = 2, step = 0.0125, control = 420.0;
unsigned int portadr = 1, portspeed = 9600;
double rx = 1;
double syncset = 0, dcremove = 1, demod = 0;
double hunt = 5;
std::string portdev;
unsigned int rigmodel = 2;
std::string rigpath = "localhost:4532";
char sysname[255] = "Unregistered";
// One decoder's (decoder.h): each system reads its own section, and the
// [general] keys are read again with it.  The receiver's and the broker's
// keys belong to the process.
decoder_var(filt);
decoder_var(verb);
decoder_var(track);
decoder_var(sound);
decoder_var(logger);
decoder_var(correct);
decoder_var(trg_pre);
decoder_var(trg_id);
decoder_var(calltimeout);
decoder_var(baseFreq);
decoder_var(offset);
decoder_var(step);
decoder_var(control);
decoder_var(syncset);
decoder_var(dcremove);
decoder_var(demod);
decoder_var(hunt);
decoder_var(sysname);
std::string mqtt_user, mqtt_password, mqtt_prefix = "marrowit";

const char* settings_file = "solvane.ini";
const char* log_file = "logfile.txt";
int settings_retry_ms = 5;
static const int SETTLE_TRIES = 40;

// A snapshot that cannot be a whole file as written: empty, or cut inside
// its last line.
static bool half_written(const std::string& text)
{
    return text.empty() || text.back() != '\n';
}

// The file's text, settled as above.  0, or -1 when it cannot be read
// (errno tells why).
static int snapshot(std::string* text)
{
    if (ini_read(text, settings_file) != 0)
        return -1;
    std::string again;
    for (int tries = 0; settings_retry_ms > 0 && tries < SETTLE_TRIES && half_written(*text);
         tries++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_retry_ms));
        if (ini_read(&again, settings_file) == 0)  // else gone for a moment
            text->swap(again);
    }
    return 0;
}

// The settings file is named relative to the current directory, so a path
// of any length works.
void mpt1327_setup()
{
    ini_t ini;
    std::string text;
    if (snapshot(&text) != 0 && errno != ENOENT)
        std::fprintf(stderr, "marrowit: cannot read %s: %s; using defaults\n", settings_file,
                     std::strerror(errno));
    ini_parse(&ini, text);
    settings_check(&ini, settings_file, sys);

    filt = ini_get_int(&ini, "general", "FILTER", 0);
    verb = ini_get_int(&ini, "general", "BINARY", 0);
    track = ini_get_int(&ini, "general", "TRACK", 0);
    sound = ini_get_int(&ini, "general", "BEEP", 0);
    logger = ini_get_int(&ini, "general", "LOG", 0);
    correct = ini_get_int(&ini, "general", "CORRECT", 0);
    trg_pre = (unsigned short)ini_get_int(&ini, "general", "TARGET_PREF", 0);
    trg_id = (unsigned short)ini_get_int(&ini, "general", "TARGET_ID", 0);
    calltimeout = ini_get_int(&ini, "general", "CALLTIMEOUT", 0);
    syncset = ini_get_int(&ini, "general", "SYNC", 0);
    dcremove = ini_get_int(&ini, "general", "DCREMOVE", 1);
    demod = ini_get_int(&ini, "general", "DEMOD", 0);
    if (demod > 1)
        demod = 0;  // said by settings_check
    hunt = ini_get_int(&ini, "general", "HUNT", 5);
    const sync_pair_t standard = {SYNC_CONTROL, SYNC_DATA}, french = {SYNC_CONTROL_FR, SYNC_DATA_FR};
    sync_words[0] = syncset == 1 ? french : standard;
    sync_words[1] = syncset == 1 || syncset == 2 ? french : standard;

    baseFreq = ini_get_int(&ini, sys, "BEGINOFBAND", 4200000) / 10000.0;
    offset = ini_get_int(&ini, sys, "OFFSET", 2);
    step = ini_get_int(&ini, sys, "STEP", 125) / 10000.0;
    control = ini_get_int(&ini, sys, "CCHFREQUENCY", 4200000) / 10000.0;
    chanmap_setup(&ini, settings_file, sys);

    portadr = ini_get_int(&ini, "rs232", "PORTADR", 1);
    portspeed = ini_get_int(&ini, "rs232", "PORTSPEED", 9600);
    rx = ini_get_int(&ini, "rs232", "RADIO", 1);
    portdev = ini_get_string(&ini, "rs232", "DEVICE", "");
    rigmodel = ini_get_int(&ini, "rs232", "RIG_MODEL", 2);
    rigpath = ini_get_string(&ini, "rs232", "RIG_PATH", "localhost:4532");

    mqtt_user = ini_get_string(&ini, "mqtt", "USER", "");
    mqtt_password = ini_get_string(&ini, "mqtt", "PASSWORD", "");
    mqtt_prefix = ini_get_string(&ini, "mqtt", "TOPIC", "marrowit");

    ini_get_string(&ini, sys, "NAME", "Unregistered", sysname, sizeof sysname);

    if (logfile || logger != 1)
        return;
    // A log that cannot be opened is tried again at every re-read, but said
    // only once until it opens.
    static bool log_trouble;
    logfile = std::fopen(log_file, "at");
    if (!logfile && !log_trouble)
        std::fprintf(stderr, "marrowit: cannot open log file %s: %s\n", log_file,
                     std::strerror(errno));
    log_trouble = !logfile;
    ptext_format("\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  %s", time_stamp());
    pprint(ptext);
}
