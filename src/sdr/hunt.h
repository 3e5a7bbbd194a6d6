// Control channel hunting: when the settings give no control channel inside
// the captured band, or the one decoded has carried no system codeword for
// HUNT seconds, every channel of the band is looked at at once through a
// polyphase channelizer; the channels with a carrier well above the noise
// are then tried one after the other, strongest first, until one of them
// gives system codewords.  That one is reported and decoded from.  The
// search looks at IQ held back from the control channel for the last half
// second of the wait, which the control channel then decodes where it is
// cut now: nothing sent on the new one in that half second is lost.
#pragma once

#include <vector>

#include "channel.h"
#include "sdr.h"

// Start watching the band the plan cuts channels from: 0, or -1 after a
// message.
int hunt_init(const channel_plan_t& plan);
// Look at one block of n IQ samples (with the channel filters' history
// before it): the MHz the control channel is to be cut at now, or -1 while
// the settings' CCHFREQUENCY is to be used.  *held: the block is held back
// (copied), for the control channel to take from hunt_replay later, instead
// of now.
double hunt_process(const iq_sample_t* block, int n, bool* held);
// After a search, the blocks held back, one per call, oldest first, for the
// control channel cut where hunt_process said last: false when none is
// left.  Blocks are read again only when this says false.
bool hunt_replay(const iq_sample_t** block, int* n);
void hunt_close();

// --all (all.cpp): surveys of the band of their own, apart from the
// hunter's, with the same carrier test on the current system's raster.
int hunt_scan_init(double rate);  // 0, or -1 after a message
void hunt_scan_start();           // a survey begins with the next block
// Feed a block to the survey under way: true when it is complete, with the
// carriers found on the raster (MHz, strongest first, at most 16) in found.
bool hunt_scan_process(const iq_sample_t* block, int n, std::vector<double>* found);
