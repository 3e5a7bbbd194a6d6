// The arithmetic behind the channels' filters, mixer and discriminator,
// written out in plain double arithmetic so that every build of the
// program, whatever its C library, designs the same filters and demodulates
// to the same bits: the C libraries' sin, cos, atan2 and Bessel functions
// differ in the last place from one to the next, which moved a recorded
// 16-bit sample by a step now and then.  Nothing here calls the C library
// but sqrt, floor, fmod, frexp and ldexp, whose results are exact or
// correctly rounded everywhere.
#pragma once

#include <vector>

const double dsp_pi = 3.14159265358979323846;

// sin and cos of x within 5e-16 for |x| up to 10, 1e-10 up to 1e6 (beyond
// that k pi/2 is no longer split exactly: the filters' angles lie within pi).
double dsp_sin(double x);
double dsp_cos(double x);
// The modified Bessel function of the first kind, order 0 (x >= 0).
double dsp_bessel_i0(double x);
// 1/v for v > 0 without a division, within a few units in the last place.
double dsp_reciprocal(double v);
// The angle of (x, y) in [-pi, pi], within 1e-9 (0 for (0, 0)).
double dsp_atan2(double y, double x);

// Taps a windowed-sinc low-pass of n taps needs for a transition band of
// df (of the rate) and a stop band attenuation_db down (Kaiser's estimate).
unsigned dsp_lowpass_length(double df, double attenuation_db);
// A Kaiser-windowed sinc of n taps, cut off at fc (of the rate), its window
// made for attenuation_db (above 50), scaled to unit gain at DC.
std::vector<double> dsp_lowpass(unsigned n, double fc, double attenuation_db);
