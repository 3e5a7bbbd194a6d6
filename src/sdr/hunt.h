// Control channel hunting: when the settings give no control channel inside
// the captured band, or the one decoded has carried no system codeword for
// HUNT seconds, every channel of the band is looked at at once through a
// polyphase channelizer; the channels with a carrier well above the noise
// are then tried one after the other, strongest first, until one of them
// gives system codewords.  That one is reported and decoded from.
#pragma once

#include "sdr.h"

// Start watching a band of rate samples per second: 0, or -1 after a message.
int hunt_init(double rate);
// Look at one block of n IQ samples; the MHz the control channel is to be
// cut at now, or -1 while the settings' CCHFREQUENCY is to be used.
double hunt_process(const iq_sample_t* block, int n);
void hunt_close();
