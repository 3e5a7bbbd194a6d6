// Channel maps with ranges (see chanmap.h).
//
// A map is checked whole when it is read: every range must read as
// FIRST-LAST:FREQUENCY:STEP in whole numbers, with channels the 10-bit
// channel field can carry (0 to 1023), FIRST not above LAST, STEP above 0,
// and every channel's frequency from 1 MHz to 10 GHz; no channel may be in
// two ranges.  A map with any of these wrong is not used at all, rather
// than in part: a receiver sent to a frequency from half a plan is worse
// than one left on the control channel, and the one line on standard error
// says which range to mend.
#include "chanmap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "event.h"
#include "mpt1327.h"
#include "mpt1327/decoder.h"

chanmap_t chanmap;
decoder_var(chanmap);  // one decoder's (decoder.h)

namespace {

const unsigned long long FREQ_LOW = 10000;       // 1 MHz in units of 100 Hz
const unsigned long long FREQ_HIGH = 100000000;  // 10 GHz

std::set<std::string> said;

void say(const std::string& text)
{
    if (said.insert(text).second)
        std::fprintf(stderr, "marrowit: %s\n", text.c_str());
}

std::string trimmed(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// A whole number, optionally negative, at p; false when there are no digits.
// Numbers too large for any check saturate.
bool number(const char** p, long long* v)
{
    bool negative = **p == '-';
    if (negative)
        ++*p;
    if (**p < '0' || **p > '9')
        return false;
    long long x = 0;
    for (; **p >= '0' && **p <= '9'; ++*p)
        x = x > 1000000000000LL ? x : x * 10 + (**p - '0');
    *v = negative ? -x : x;
    return true;
}

// One range; empty when good, else what is wrong with it.
std::string parse_range(const std::string& text, chan_range_t* r)
{
    if (text.empty())
        return "is empty";
    long long first, last, freq, step;
    const char* p = text.c_str();
    if (!number(&p, &first) || *p++ != '-' || !number(&p, &last) || *p++ != ':' ||
        !number(&p, &freq) || *p++ != ':' || !number(&p, &step) || *p)
        return "is not FIRST-LAST:FREQUENCY:STEP in whole numbers";
    for (long long chan : {first, last})
        if (chan < 0 || chan > (long long)CHAN_LAST)
            return "has a channel outside 0 to 1023 (the protocol's 10-bit channel field)";
    if (first > last)
        return "is inverted: FIRST " + std::to_string(first) + " is above LAST " +
               std::to_string(last);
    if (step <= 0)
        return "has STEP " + std::to_string(step) + ": it must be above 0";
    if (freq < (long long)FREQ_LOW || freq > (long long)FREQ_HIGH)
        return "has FREQUENCY " + std::to_string(freq) +
               ", outside 1 MHz to 10 GHz (in units of 100 Hz)";
    if ((unsigned long long)freq + (unsigned long long)(last - first) * (unsigned long long)step >
        FREQ_HIGH)
        return "puts channel " + std::to_string(last) + " above 10 GHz";
    *r = {(unsigned)first, (unsigned)last, (unsigned)freq, (unsigned)step};
    return "";
}

}  // namespace

std::string chanmap_parse(const std::string& text, chanmap_t* map)
{
    map->present = true;
    map->ranges.clear();
    std::vector<std::string> items;
    for (size_t at = 0;;) {
        size_t comma = text.find(',', at);
        items.push_back(trimmed(text.substr(at, comma == std::string::npos ? comma : comma - at)));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    std::vector<chan_range_t> ranges;
    for (size_t k = 0; k < items.size(); k++) {
        std::string name = "range " + std::to_string(k + 1) + " '" +
                           (items[k].size() <= 40 ? items[k] : items[k].substr(0, 40) + "...") +
                           "'";
        chan_range_t r;
        std::string trouble = parse_range(items[k], &r);
        if (!trouble.empty())
            return name + " " + trouble;
        for (size_t j = 0; j < ranges.size(); j++) {
            const chan_range_t& o = ranges[j];
            if (r.first <= o.last && o.first <= r.last)
                return name + " overlaps range " + std::to_string(j + 1) + " '" + items[j] +
                       "' (channels " + std::to_string(std::max(r.first, o.first)) + " to " +
                       std::to_string(std::min(r.last, o.last)) + ")";
        }
        ranges.push_back(r);
    }
    map->ranges = ranges;
    return "";
}

bool chanmap_freq(const chanmap_t& map, unsigned chan, double* mhz)
{
    for (const chan_range_t& r : map.ranges)
        if (chan >= r.first && chan <= r.last) {
            *mhz = (double)(r.freq + (unsigned long long)(chan - r.first) * r.step) / 10000.0;
            return true;
        }
    return false;
}

std::vector<double> chanmap_raster(const chanmap_t& map, double lo, double hi)
{
    std::vector<double> out;
    for (unsigned chan = 0; chan <= CHAN_LAST; chan++) {
        double mhz;
        if (chanmap_freq(map, chan, &mhz) && mhz >= lo && mhz <= hi)
            out.push_back(mhz);
    }
    return out;
}

void chanmap_setup(const ini_t* ini, const char* file, const char* sysname)
{
    chanmap = chanmap_t();
    const std::string* v = ini_find(ini, sysname, "CHANMAP");
    if (!v || v->empty())
        return;
    std::string trouble = chanmap_parse(*v, &chanmap);
    if (!trouble.empty())
        say(std::string(file) + ": [" + sysname + "] CHANMAP " + trouble +
            "; the map is not used, and no channel of " + sysname + " is tuned or recorded");
}

bool freq_unmapped(double mhz)
{
    return std::isnan(mhz);
}

std::string freq_text(double mhz)
{
    if (freq_unmapped(mhz))
        return "unmapped";
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", mhz);
    return text;
}

void event_freq(const char* name, double mhz)
{
    if (freq_unmapped(mhz))
        event_null(name);
    else
        event_real(name, mhz, 4);
}

// Channel plan: with CHANMAP, the range's; else ((CHAN + OFFSET) - 2) *
// STEP + BEGINOFBAND, evaluated in that order in extended precision and
// held as a double.
double chan_freq(unsigned chan)
{
    if (chanmap.present) {
        double mhz;
        if (chanmap_freq(chanmap, chan, &mhz))
            return mhz;
        say("channel " + std::to_string(chan) + " of [" + sys +
            "] lies in no range of its CHANMAP: it is not tuned and its calls are not recorded");
        return std::nan("");
    }
    long double f = (long double)chan + offset;
    f = f - 2;
    f = f * step;
    f = f + baseFreq;
    return (double)f;
}

void chanmap_reset()
{
    chanmap = chanmap_t();
    said.clear();
}
