// Control channel hunting: when the settings give no control channel inside
// the captured band, or the one decoded has carried no system codeword for
// HUNT seconds, every channel of the band is looked at at once through a
// polyphase channelizer; the channels with a carrier well above the noise
// are then tried one after the other, strongest first, until one of them
// gives system codewords.  That one is reported and decoded from.
#pragma once

#include <vector>

#include "sdr.h"

// Start watching a band of rate samples per second: 0, or -1 after a message.
int hunt_init(double rate);
// Look at one block of n IQ samples; the MHz the control channel is to be
// cut at now, or -1 while the settings' CCHFREQUENCY is to be used.
double hunt_process(const iq_sample_t* block, int n);
void hunt_close();

// --all (all.cpp): surveys of the band of their own, apart from the
// hunter's, with the same carrier test on the current system's raster.
int hunt_scan_init(double rate);  // 0, or -1 after a message
void hunt_scan_start();           // a survey begins with the next block
// Feed a block to the survey under way: true when it is complete, with the
// carriers found on the raster (MHz, strongest first, at most 16) in found.
bool hunt_scan_process(const iq_sample_t* block, int n, std::vector<double>* found);
