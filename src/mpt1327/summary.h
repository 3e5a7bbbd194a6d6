// What became of the input: one line on standard error when a recording or
// a stream of samples ends, so that a run that decoded nothing says so
// instead of ending quietly as if all were well.
//
//   marrowit: 60.0 s of audio: 560 sync words, 1119 codewords passed, 1 failed, 1 system (0x1234)
//
// When no codeword passed the check, the line goes on with the likely
// causes.  Made from decode_counts and the input clock.
#pragma once

#include <string>

extern bool summary_quiet;  // -q, --quiet: no summary
extern bool summary_iq;     // IQ input: its tuning options are likely causes too

// The summary line with its line end.  raw_samples: the input was raw
// samples (standard input, a network stream), where a WAV file sent as
// samples and a wrong --format or --rate are likely causes too.
std::string summary_text(bool raw_samples);

// Print it on standard error unless summary_quiet.
void summary_print(bool raw_samples);
