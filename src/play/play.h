// The sound card that --play sends the followed call to: one file per
// platform (ALSA, WINMM, none), chosen by CMake.  16-bit mono at the rate
// asked for.  Only the player's own thread writes (src/sdr/player.cpp), so a
// sound card that stops taking samples holds up that thread alone.
#pragma once

#include <string>

// Whether this build can play (0: --play says "not in this build").
extern const int play_available;

// Open the device ("default": the system's default output) for 16-bit mono
// samples at rate: 0, or -1 with why in *error.
int play_open(const char* device, int rate, std::string* error);
// Write n samples, waiting while the device's buffer is full: 0, or -1 with
// why in *error (the device went away).
int play_write(const short* samples, int n, std::string* error);
// Let what was written play out, and close the device.
void play_close();
