// Receivers: what the decoder's setfreq(mhz) reaches.
//
// RADIO in [rs232] chooses the kind; each kind lives in its own file of this
// folder and offers one operation, tuning to a frequency in MHz:
//
//   RADIO 1, 2   serial.cpp   the two serial command sets
//   RADIO 3      hamlib.cpp   any receiver Hamlib drives: a radio, rigctld,
//                             an SDR program's rigctl server
//                             (hamlib_none.cpp in builds without Hamlib)
//   others       nothing is tuned
//
// A receiver that cannot be reached never stops the decoder: the trouble is
// said once on standard error, and again only after a command got through.
// Which receiver is being tuned is said once too, at the first command.
#pragma once

#include <string>

// One tuning command to a serial receiver (RADIO 1 or 2).
void serial_setfreq(double mhz);

// One tuning command through Hamlib (RADIO 3): handed to the thread that
// tunes the rig, without waiting for it.
void hamlib_setfreq(double mhz);
// Wait until the rig has been given the last command (tests, benchmarks).
void hamlib_wait();
// Close the rig and forget its trouble, as at start-up (tests).
void hamlib_reset();

// Say "marrowit: WHO: WHAT; the receiver is not being tuned" once, until
// receiver_ok() is called after a command that got through.  Each receiver
// kind keeps its own flag, so that one kind's success does not hide
// another's trouble.
struct receiver_trouble_t {
    bool said = false;
};
void receiver_trouble(receiver_trouble_t* t, const char* who, const char* what);
void receiver_ok(receiver_trouble_t* t);

// Say "marrowit: tuning WHAT (RADIO=0 in [rs232] turns tuning off)" on
// standard error before the first command to a receiver, so that nobody is
// surprised by commands on a port they did not name (the defaults tune
// serial port 1).  WHAT names the receiver, its port and speed, e.g.
// "receiver model 1 on serial port /dev/ttyS0 at 9600 bit/s".  Said again
// only when WHAT changes, as when a settings re-read names another port.
void receiver_tuning(const std::string& what);
extern std::string receiver_announced;  // the WHAT said last ("" at start)
