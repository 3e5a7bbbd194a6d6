// Writing audio files (WAV, AU, FLAC, AIFF), one file per implementation:
// libsndfile where the build has it, otherwise raw samples only.
#pragma once

#include <string>
#include <vector>

#include "mptgen.h"

int gen_write_container(const std::vector<float>& samples, const gen_audio_t& opt,
                        const std::string& kind, const std::string& path, std::string* error);

// x in [-1, 1) to a signed 16-bit sample, rounded and clipped.
short gen_to_s16(float x);
