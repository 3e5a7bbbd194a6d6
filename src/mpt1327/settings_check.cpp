// Checks of the settings file as read.
//
// Every number of the settings is a whole number read by its leading
// digits (ini.h): "420.0125" reads as 420, "-125" as 4294967171, and digits
// past 2^32 wrap.  Such a value is used as read, so that a file keeps the
// meaning it always had, but what looks wrong is said: not a whole number,
// negative, too large, and for the band start and the control channel a
// frequency outside 1 MHz to 10 GHz.  Keys written before the first
// [section] belong to none and are ignored; each is named.  The settings are
// read again at every new system identity, so each trouble is said once.
#include "settings_check.h"

#include <cstdio>
#include <set>

namespace {

struct number_key_t {
    const char* section;  // null: the system's own section
    const char* key;
    bool frequency;       // in units of 100 Hz
};

const number_key_t number_keys[] = {
    {"general", "FILTER", false},     {"general", "BINARY", false},
    {"general", "TRACK", false},      {"general", "BEEP", false},
    {"general", "LOG", false},        {"general", "CORRECT", false},
    {"general", "TARGET_PREF", false}, {"general", "TARGET_ID", false},
    {"general", "CALLTIMEOUT", false}, {"general", "SYNC", false},
    {"general", "DCREMOVE", false},   {nullptr, "BEGINOFBAND", true},
    {nullptr, "OFFSET", false},       {nullptr, "STEP", false},
    {nullptr, "CCHFREQUENCY", true},  {"rs232", "PORTADR", false},
    {"rs232", "PORTSPEED", false},    {"rs232", "RADIO", false},
    {"rs232", "RIG_MODEL", false},    {"mqtt", "GIVEUP", false},
    {"db", "KEEP_DAYS", false},
};

// Keys that choose one of a few ways, 0 to last: any other value is said,
// with the way it gives (a whole number among them read by its leading
// digits as every number is, "1.5" as 1; anything else 0).
struct choice_key_t {
    const char* section;
    const char* key;
    unsigned last;  // the ways are 0 to last
};

const choice_key_t choice_keys[] = {
    {"general", "DEMOD", 1},
};

const unsigned FREQ_LOW = 10000;       // 1 MHz in units of 100 Hz
const unsigned FREQ_HIGH = 100000000;  // 10 GHz

std::set<std::string> said;

void say(const std::string& text)
{
    if (said.insert(text).second)
        std::fprintf(stderr, "marrowit: %s\n", text.c_str());
}

// A value of any length is named by its first characters.
std::string shown(const std::string& v)
{
    return v.size() <= 40 ? v : v.substr(0, 40) + "...";
}

}  // namespace

std::string settings_number_trouble(const std::string& value, bool frequency)
{
    if (value.empty())
        return "";  // the default
    const char* p = value.c_str();
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;
    unsigned long long whole = 0;
    bool digits = false, too_large = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        digits = true;
        whole = whole * 10 + (unsigned)(*p - '0');
        if (whole > 0xffffffffull) {
            too_large = true;
            whole = 0xffffffffull;
        }
    }
    if (!digits || *p)
        return "not a whole number";
    if (negative && whole != 0)
        return "negative";
    if (too_large)
        return "too large";
    if (frequency && (whole < FREQ_LOW || whole > FREQ_HIGH))
        return "outside 1 MHz to 10 GHz (in units of 100 Hz)";
    return "";
}

void settings_check(const ini_t* ini, const char* file, const char* sysname)
{
    for (const std::string& key : ini->orphans)
        say(std::string(file) + ": " + shown(key) +
            " comes before any [section] and is ignored");
    for (const number_key_t& k : number_keys) {
        const char* section = k.section ? k.section : sysname;
        const std::string* v = ini_find(ini, section, k.key);
        if (!v)
            continue;
        std::string trouble = settings_number_trouble(*v, k.frequency);
        if (trouble.empty())
            continue;
        unsigned used = ini_get_int(ini, section, k.key, 0);
        char tail[96];
        if (k.frequency)
            std::snprintf(tail, sizeof tail, "; using %u, %.4f MHz", used, used / 10000.0);
        else
            std::snprintf(tail, sizeof tail, "; using %u", used);
        say(std::string(file) + ": [" + section + "] " + k.key + "=" + shown(*v) + " is " +
            trouble + tail);
    }
    for (const choice_key_t& k : choice_keys) {
        const std::string* v = ini_find(ini, k.section, k.key);
        if (!v || v->empty())
            continue;
        unsigned used = ini_get_int(ini, k.section, k.key, 0);
        if (settings_number_trouble(*v, false).empty() && used <= k.last)
            continue;
        if (used > k.last)
            used = 0;
        std::string ways;
        for (unsigned w = 0; w <= k.last; w++)
            ways += std::to_string(w) + (w + 2 == k.last + 1 ? " or " : w == k.last ? "" : ", ");
        say(std::string(file) + ": [" + k.section + "] " + k.key + "=" + shown(*v) + " is not " +
            ways + "; using " + std::to_string(used));
    }
}
