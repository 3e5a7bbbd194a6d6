// Plain arithmetic: the project compiles with -ffp-contract=off, so each
// line below rounds the same way on every machine.
#include "dsp_math.h"

#include <cmath>

namespace {

// pi / 2 split in two: k * half_pi_hi is exact for the k that occur, so
// the reduced argument keeps its precision.
const double half_pi_hi = 1.57079632673412561417e+00;
const double half_pi_lo = 6.07710050650619224932e-11;
const double two_over_pi = 6.36619772367581382433e-01;

// Taylor series on [-pi/4, pi/4]: the first omitted term is below 1e-19.
double sin_reduced(double r)
{
    double r2 = r * r;
    double s = 1.0 / 355687428096000.0;   // 1/17!
    s = s * r2 - 1.0 / 1307674368000.0;   // 1/15!
    s = s * r2 + 1.0 / 6227020800.0;      // 1/13!
    s = s * r2 - 1.0 / 39916800.0;        // 1/11!
    s = s * r2 + 1.0 / 362880.0;          // 1/9!
    s = s * r2 - 1.0 / 5040.0;            // 1/7!
    s = s * r2 + 1.0 / 120.0;             // 1/5!
    s = s * r2 - 1.0 / 6.0;               // 1/3!
    return r + r * r2 * s;
}

double cos_reduced(double r)
{
    double r2 = r * r;
    double c = 1.0 / 6402373705728000.0;  // 1/18!
    c = c * r2 - 1.0 / 20922789888000.0;  // 1/16!
    c = c * r2 + 1.0 / 87178291200.0;     // 1/14!
    c = c * r2 - 1.0 / 479001600.0;       // 1/12!
    c = c * r2 + 1.0 / 3628800.0;         // 1/10!
    c = c * r2 - 1.0 / 40320.0;           // 1/8!
    c = c * r2 + 1.0 / 720.0;             // 1/6!
    c = c * r2 - 1.0 / 24.0;              // 1/4!
    c = c * r2 + 0.5;
    return 1.0 - r2 * c;
}

// x = k pi/2 + r, |r| <= pi/4; returns r and k mod 4.
double reduce(double x, int* quadrant)
{
    double k = std::floor(x * two_over_pi + 0.5);
    double r = (x - k * half_pi_hi) - k * half_pi_lo;
    double q = std::fmod(k, 4.0);
    if (q < 0)
        q += 4;
    *quadrant = (int)q;
    return r;
}

// sin(q pi/2 + r).
double sin_quadrant(double r, int q)
{
    switch (q & 3) {
    case 0: return sin_reduced(r);
    case 1: return cos_reduced(r);
    case 2: return -sin_reduced(r);
    default: return -cos_reduced(r);
    }
}

}  // namespace

double dsp_sin(double x)
{
    int q;
    double r = reduce(x, &q);
    return sin_quadrant(r, q);
}

double dsp_cos(double x)
{
    // cos(x) = sin(x + pi/2): one quadrant on.
    int q;
    double r = reduce(x, &q);
    return sin_quadrant(r, q + 1);
}

// The power series sum over k of ((x/2)^k / k!)^2, to the last term that
// still counts.
double dsp_bessel_i0(double x)
{
    double q = x * x / 4;
    double term = 1, sum = 1;
    for (int k = 1; k < 500 && term > sum * 1e-18; k++) {
        term *= q / ((double)k * k);
        sum += term;
    }
    return sum;
}

double dsp_reciprocal(double v)
{
    // v = m 2^e with m in [0.5, 1), both exact; 1/m starts from the line
    // through it with the least relative error over the interval (1/17),
    // which four Newton steps square down past a double's precision.
    int e;
    double m = std::frexp(v, &e);
    double r = 48.0 / 17 - 32.0 / 17 * m;
    for (int k = 0; k < 4; k++)
        r = r * (2 - m * r);
    return std::ldexp(r, -e);
}

double dsp_atan2(double y, double x)
{
    double ax = std::fabs(x), ay = std::fabs(y);
    double big = ax > ay ? ax : ay, small = ax > ay ? ay : ax;
    if (big == 0)
        return 0;
    // atan(t) = t P(t^2) on [0, 1]: P interpolates atan(sqrt(u))/sqrt(u)
    // at the 11 Chebyshev points of [0, 1]; off by at most 2.4e-10.  The
    // discriminator takes an angle per sample: the ratio is a product with
    // the reciprocal, which needs no division.
    double t = small * dsp_reciprocal(big);
    double u = t * t;
    double p = 0.00105760735724206;
    p = p * u - 0.007030669119558297;
    p = p * u + 0.021912945231385744;
    p = p * u - 0.04392841011552016;
    p = p * u + 0.066852814828332;
    p = p * u - 0.0878504327081528;
    p = p * u + 0.11050771273870649;
    p = p * u - 0.14278576024727196;
    p = p * u + 0.1999955810038755;
    p = p * u - 0.3333332248891393;
    p = p * u + 0.9999999995535374;
    double a = t * p;
    if (ay > ax)
        a = dsp_pi / 2 - a;
    if (x < 0)
        a = dsp_pi - a;
    return y < 0 ? -a : a;
}

unsigned dsp_lowpass_length(double df, double attenuation_db)
{
    double n = (attenuation_db - 7.95) / (14.26 * df);
    return n < 1 ? 1 : (unsigned)n;
}

std::vector<double> dsp_lowpass(unsigned n, double fc, double attenuation_db)
{
    // Kaiser's window parameter for an attenuation above 50 dB (the
    // program's filters reject 60 dB).
    double beta = 0.1102 * (attenuation_db - 8.7);
    std::vector<double> h(n);
    double half = (n - 1) / 2.0;
    double scale = 1 / dsp_bessel_i0(beta);
    double sum = 0;
    for (unsigned i = 0; i < n; i++) {
        double t = i - half;
        double x = 2 * fc * t;
        double sinc = x == 0 ? 1 : dsp_sin(dsp_pi * x) / (dsp_pi * x);
        double r = half > 0 ? t / half : 0;
        double window = dsp_bessel_i0(beta * std::sqrt(1 - r * r)) * scale;
        h[i] = sinc * window;
        sum += h[i];
    }
    for (double& v : h)
        v /= sum;
    return h;
}
