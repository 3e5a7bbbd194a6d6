// Channel maps with ranges: CHANMAP of a system's section.
//
// Many networks number their channels in several blocks, each in a band of
// its own (channels 1 to 251 from 401.0 MHz, 301 to 364 from 406.0 MHz),
// which one BEGINOFBAND, STEP and OFFSET cannot describe.  CHANMAP gives the
// blocks as comma-separated ranges FIRST-LAST:FREQUENCY:STEP, FREQUENCY the
// frequency of channel FIRST and STEP the spacing, both in units of 100 Hz:
//
//   CHANMAP=1-251:4010000:125,301-364:4060000:125
//
// With CHANMAP, a channel's frequency is its range's, and a channel in no
// range has none: it is said once on standard error, not tuned, not
// recorded, and its reports show it as unmapped.  Without CHANMAP the
// linear plan of BEGINOFBAND, STEP and OFFSET holds as before.
#pragma once

#include <string>
#include <vector>

#include "ini.h"

// The protocol's channel field has 10 bits.
const unsigned CHAN_LAST = 1023;

struct chan_range_t {
    unsigned first, last;  // channels, first <= last <= CHAN_LAST
    unsigned freq;         // of channel first, units of 100 Hz
    unsigned step;         // units of 100 Hz, above 0
};

struct chanmap_t {
    bool present = false;  // CHANMAP given (a bad one too: then no range)
    std::vector<chan_range_t> ranges;
};

// Parse the value of CHANMAP into map (present, with its ranges).  Empty
// when it is good; else what is wrong, naming the range ("range 2
// '301-200:4060000:125': FIRST is above LAST"), and map holds no range.
std::string chanmap_parse(const std::string& text, chanmap_t* map);

// The frequency in MHz of a channel under map; false when no range holds it.
bool chanmap_freq(const chanmap_t& map, unsigned chan, double* mhz);

// The frequencies (MHz) of every channel of map from lo to hi MHz, in
// channel order.
std::vector<double> chanmap_raster(const chanmap_t& map, double lo, double hi);

// The map of the current system's section, read by mpt1327_setup.
extern chanmap_t chanmap;

// Read CHANMAP of the section sysname into chanmap; a bad map is said once
// (file, section, range, trouble) and holds no range, so that no channel of
// the system is tuned or recorded until it is mended.
void chanmap_setup(const ini_t* ini, const char* file, const char* sysname);

// A frequency that chan_freq gives a channel in no range of the map.
bool freq_unmapped(double mhz);
// A frequency as the reports print it: "%.4f", or "unmapped".
std::string freq_text(double mhz);
// The frequency field of a report record: a number, or null when unmapped.
void event_freq(const char* name, double mhz);

// Forget what was said and the map (tests).
void chanmap_reset();
