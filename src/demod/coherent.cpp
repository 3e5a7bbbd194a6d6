// The coherent front end of DEMOD=1.
//
// The signal.  MPT 1327 sends 1200 bit/s in fast FSK: 1200 Hz for a 1, 1800
// Hz for a 0, phase continuous.  Around the centre frequency fc = 1500 Hz
// the phase moves by -pi/2 over a 1 and +pi/2 over a 0: continuous-phase FSK
// with modulation index 0.5, that is minimum-shift keying.  At 10800
// samples per second a bit lasts 9 samples.
//
// MSK as offset QPSK.  Mixed down to complex baseband z = x e^{-j 2 pi fc t},
// the signal is (the image at -3000 Hz aside)
//
//     z(t) = a e^{j theta} sum_k b_k j^k p(t - kT),   p(t) = cos(pi t / 2T), |t| < T
//
// with symbols b_k = +-1 alternating between the real and the imaginary axis
// at the bit boundaries kT, each a half-sine pulse two bits long.  Between
// boundaries k and k+1 the phase turns by +pi/2 when b_k = b_{k+1} (1800 Hz,
// a 0) and by -pi/2 when they differ (1200 Hz, a 1):
//
//     bit = b_k XOR b_{k+1}          (1 where the symbols differ)
//
// The pulses of one axis do not overlap each other, and the two axes are in
// quadrature, so each symbol is detected on its own by the filter matched to
// its pulse, projected on its axis: y_k = Re{ conj(ref_k) sum z(t) p(t - kT) }
// with ref_k = e^{j theta} j^k.  In white noise y_k = A b_k + n_k with
// independent Gaussian n_k: each symbol has the error rate of BPSK,
// Q(sqrt(2 Eb/N0)), the physical limit for this signal, and its LLR is
// exactly L_k = 2 A y_k / sigma^2.  The data bit, an XOR of two independent
// symbols, has the LLR
//
//     llr(bit = 1) = -(L_k [+] L_{k+1}),   L1 [+] L2 = 2 atanh(tanh(L1/2) tanh(L2/2))
//
// (the "box-plus" of the two): the exact posterior of the bit, not an
// approximation, since with equally likely bits the symbols are independent
// too.  A hard decision errs when one of its symbols does, so hard bit
// errors come in pairs at 2 Q(sqrt(2 Eb/N0)); the soft decoder sees both
// bits of a pair marked unsure by the same weak symbol.
//
// Carrier phase and bit timing, without decisions.  Squared, the signal is
// z^2 = a^2 e^{j 2 theta} (-1)^k e^{+-j pi (t - kT)/T}: over a 0 the phasor
// e^{j 2 theta} e^{+j pi (t - eps)/T} (eps: where the boundaries lie), over
// a 1 e^{j 2 theta} e^{-j pi (t - eps)/T}.  These are two spectral lines at
// +-600 Hz (1 / 2T) whatever the data, as long as both bits occur (the
// preamble and every codeword have both).  Against the receiver's own
// references e^{-+j pi n / 9} they give two slowly turning phasors
//
//     P = e^{j (2 theta - pi eps / T)},   M = e^{j (2 theta + pi eps / T)}
//
// and everything follows from them: at a symbol instant t the reference
// squared is ref^2 = P e^{j pi t / T} = M e^{-j pi t / T} (both agree only
// on a boundary), and arg(P conj(M) e^{j 2 pi t / T}) = 2 pi (t - eps) / T is
// the timing error.  The square root's sign is taken continuous from symbol
// to symbol (ref_{k+1} near j ref_k); a sign for all of them is no matter,
// as the bits are XORs.  This is a feed-forward estimator: no loop to pull
// in, no hang-up, and it acquires as fast as its averages fill.  It needs no
// knowledge of the level.
//
// The lines are read from z low-passed by two boxcars (7 and 9 samples: nulls
// at 1543/3086 and 1200/2400/3600 Hz, the image at -3000 Hz and a DC offset
// (-1500 Hz here) down by 30-45 dB, the signal's +-300 Hz by 1 dB), which
// also narrows the noise before squaring.  Each block of 9 samples adds its
// sums to averages that start as plain means (fast acquisition: the first
// bits of a recording already count fully) and become exponential with a
// time constant of LINE_TAU blocks; they start as plain means again where a
// signal comes out of louder noise alone (block_end), whose lines would
// outweigh the signal's for longer than its first codeword.  A sample clock error moves the tones
// and the bit rate together: at 1000 ppm P turns by 3.6 Hz and M by 2.4 Hz;
// each line's rotation per block is tracked from its own average and undone
// before the next block is added, so that the averages do not lag.
//
// Fractional timing.  The matched filter is evaluated at the exact
// (fractional) symbol instant: its taps cos(pi (i - f) / 18) for a fraction
// f are cos(pi i/18) cos(pi f/18) + sin(pi i/18) sin(pi f/18), two fixed
// dot products and one rotation, so no interpolator is needed and no sample
// is moved whole.  The instants advance by the tracked period and are pulled
// toward the measured boundary.
//
// Level and the LLR scale.  The projections are y = A b + n.  The mean of
// |y| is A (within 1 % down to -4 dB SNR, where a symbol is wrong 3 % of the
// time), and y^2 averages A^2 + s^2, so both come without decisions,
// averaged over MOMENT_TAU symbols: level changes and fades are followed
// within a fifth of a second, a level step at once (the moments scaled to a
// fast level), and a signal coming out of noise alone within about 32
// symbols (the moments restarted from the last 32, which are far cleaner
// than the average of the noise before them).  (The fourth moment, the textbook way, was
// fooled by noise clipped at full scale, which has light tails.)  Noise
// clipped at full scale is cut only on the side away from the decision
// boundary, where the signal's peaks are; the side that makes errors keeps
// its full tail.  So the noise is also measured on that side alone, from
// the symbols that came out weaker than A, and the larger of the two is
// taken.  With A and s^2 right the LLRs are true ones: of the bits given 4
// to 6, 0.7 % are wrong, as promised (README).
//
// Tone balance.  De-emphasis or a band-pass tilts 1800 Hz against 1200 Hz
// by several dB, signal and noise alike; a matched filter for the untilted
// pulses then loses about 1 dB.  In baseband the tones sit at +-300 Hz, and
// z + g z' / (j 2 pi 300 Hz) has the gains 1 + g and 1 - g there, about a
// straight line across the band, as a 6 dB per octave tilt is over 1200 to
// 1800 Hz.  Its matched filter costs nothing more: the derivative moves
// onto the pulse, and the pulse's derivative is the sine taps already
// computed (pi/18 per sample is exactly 2 pi 300 Hz), so the output is
// mf - j g ms.  g is steered by the symbols that lie between two equal
// bits: between two 0s a symbol is all 1800 Hz, between two 1s all 1200 Hz,
// and g moves until both come out alike.
//
// IQ input.  The IQ path's FM discriminator gives floats, and below the FM
// threshold its noise is mostly above the tones (it rises with frequency)
// with clicks, impulses of a whole turn of phase, that a matched filter
// takes at full weight.  Quantised to 8 bits they were clipped at about
// twice the tone's amplitude, which helped; taken as floats unclipped,
// decoding was worse; limited at 1.2 times the tone's amplitude
// (COHERENT_IQ_LIMIT, from the amplitude estimate below, once known) it is
// much better than either (README: IQ input).  Audio from a receiver is
// not limited: there the noise lies in the tones' band, and a limiter at
// the tone's level costs several dB in it.
//
// Costs: per sample a complex mix, two boxcars, a square and two line
// products, the complex parts side by side in vector registers; per symbol
// two 18-tap dot products and a few square roots and divisions, the angles
// by polynomials.  No allocation, no division, no library call per sample.
#include "coherent.h"

#include <cmath>

#include "demod.h"
#include "mpt1327/correct.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"

namespace {

const double PI = 3.141592653589793;
const int SPB = 9;                 // samples per bit at 10800 Hz
const int BOX1 = 7, BOX2 = 9;      // the boxcars before squaring
const int LINE_DELAY = (BOX1 - 1) / 2 + (BOX2 - 1) / 2;  // their delay, samples
const double LINE_TAU = 48;        // blocks (bits) of the lines' averages
const int LINE_RECENT = COHERENT_LINE_RECENT;  // blocks of the lines' recent strength
const double LINE_DROP = 5;        // that this much below its average: the lines start again
const double ROT_TAU = 256;        // blocks of the rotation estimate
const double ROT_MAX = 2 * 3.141592653589793 * 6 / 1200;  // 6 Hz: 1700 ppm
const std::uint32_t COUNT_MAX = 1u << 30;  // blocks and symbols are counted up to this
const double BALANCE_TAU = 512;   // symbols of the tone balance
const double TILT_MAX = 0.6;       // 1800 Hz against 1200 Hz: 12 dB either way
const double LEVEL_TAU = 8;       // symbols of the fast level
const double LEVEL_STEP = 1.2;     // a level step: the fast level at least this far from the slow one
const double MOMENT_TAU = 256;     // symbols of the level and noise estimate
const double RESTART_RATIO = 8;    // the recent symbols this much cleaner: a signal came
const double TIMING_GAIN = 0.25;   // share of the timing error corrected per symbol
const double PERIOD_GAIN = 0.004;  // ... and taken into the period
const int RING_MASK = COHERENT_RING - 1;

// ln(1 + e^-x), the correction of the box-plus, x >= 0: a table of 1/8
// steps to 8, linearly interpolated (within 5e-4; 0 beyond 8, off by at
// most 3.4e-4), built once.
const int SOFTPLUS_STEPS = 64;
double softplus_table[SOFTPLUS_STEPS + 2];
bool softplus_ready;

void softplus_build()
{
    for (int i = 0; i <= SOFTPLUS_STEPS + 1; i++)
        softplus_table[i] = std::log1p(std::exp(-i / 8.0));
    softplus_ready = true;
}

inline double softplus_neg(double x)
{
    if (x >= 8)
        return 0;
    double at = x * 8;
    int i = (int)at;
    return softplus_table[i] + (at - i) * (softplus_table[i + 1] - softplus_table[i]);
}

// atan2 within 2e-6 radians (a timing error within 3e-6 samples): the
// octant folded to an argument of at most 1, then an odd polynomial.
inline double fast_atan2(double y, double x)
{
    double ax = std::fabs(x), ay = std::fabs(y);
    double big = ax > ay ? ax : ay, small = ax > ay ? ay : ax;
    if (big == 0)
        return 0;
    double t = small / big, t2 = t * t;
    double a = t * (0.99997726 + t2 * (-0.33262347 + t2 * (0.19354346 +
               t2 * (-0.11643287 + t2 * (0.05265332 - t2 * 0.01172120)))));
    if (ay > ax)
        a = PI / 2 - a;
    if (x < 0)
        a = PI - a;
    return y < 0 ? -a : a;
}

// cos and sin of a small angle (|a| <= 0.35: within 1e-8).
inline void small_rotation(double a, double* cs, double* sn)
{
    double a2 = a * a;
    *cs = 1 - a2 * (0.5 - a2 * (1.0 / 24 - a2 / 720));
    *sn = a * (1 - a2 * (1.0 / 6 - a2 / 120));
}

// L1 [+] L2: the LLR that two symbols are equal.
inline double boxplus(double a, double b)
{
    double m = std::fabs(a) < std::fabs(b) ? std::fabs(a) : std::fabs(b);
    double s = (a < 0) != (b < 0) ? -m : m;
    return s + softplus_neg(std::fabs(a + b)) - softplus_neg(std::fabs(a - b));
}

// One block of 9 samples ended: fold its line sums into the averages.
void block_end(coherent_t* c)
{
    // A signal out of louder noise alone: the averages hold the noise's
    // lines, which the weaker signal's take LINE_TAU blocks and more to
    // outweigh, and the first bits come out wrong.  So where the lines'
    // block sums have been weaker than their average by LINE_DROP over the
    // last LINE_RECENT blocks, the averages start again from this block.  A
    // gain falling does the same, and the signal's lines are as good from
    // its own blocks.  In steady noise the sums of 8 blocks fall so far by
    // chance about once a minute, which costs nothing there; on a signal,
    // once in 100 s at -6 dB, never at -4 dB and above (measured).
    // The block's sums against both lines: w conj(l) and w l.
    double bpr = c->lp[0] + c->lp[1], bmr = c->lp[0] - c->lp[1];
    double bpi = c->lx[1] - c->lx[0], bmi = c->lx[0] + c->lx[1];
    double strength = std::sqrt(bpr * bpr + bpi * bpi) + std::sqrt(bmr * bmr + bmi * bmi);
    c->strength_at = (c->strength_at + 1) & (LINE_RECENT - 1);
    c->strength_sum += strength - c->strength[c->strength_at];
    c->strength[c->strength_at] = strength;
    if (c->strength_at == 0) {  // summed afresh once a round, as the symbols' sums
        c->strength_sum = 0;
        for (int i = 0; i < LINE_RECENT; i++)
            c->strength_sum += c->strength[i];
    }
    if (c->blocks > LINE_TAU && c->strength_sum * LINE_DROP < LINE_RECENT * c->strength_avg) {
        c->blocks = 0;
        c->line_restarts++;
    }
    if (c->blocks < COUNT_MAX)  // past the warm-up only "many" matters, for weeks on end
        c->blocks++;
    double alpha = c->blocks < LINE_TAU ? 1.0 / c->blocks : 1.0 / LINE_TAU;
    // Undo the tracked rotation, then average.
    double cp, sp, cm, sm;
    small_rotation(c->P_rot, &cp, &sp);
    small_rotation(c->M_rot, &cm, &sm);
    double pr = c->P_re * cp - c->P_im * sp, pi = c->P_re * sp + c->P_im * cp;
    double mr = c->M_re * cm - c->M_im * sm, mi = c->M_re * sm + c->M_im * cm;
    c->strength_avg += alpha * (strength - c->strength_avg);
    double npr = pr + alpha * (bpr - pr), npi = pi + alpha * (bpi - pi);
    double nmr = mr + alpha * (bmr - mr), nmi = mi + alpha * (bmi - mi);
    // The rotation: how far the new average turned from the old one (the
    // sine of the angle, as good as the angle at these few hundredths).
    if (c->blocks > 4) {
        const double beta = 1.0 / ROT_TAU, most = ROT_MAX;
        double xp = npr * c->P_re + npi * c->P_im, yp = npi * c->P_re - npr * c->P_im;
        double xm = nmr * c->M_re + nmi * c->M_im, ym = nmi * c->M_re - nmr * c->M_im;
        double np = std::sqrt(xp * xp + yp * yp), nm = std::sqrt(xm * xm + ym * ym);
        double dp = np > 0 ? yp / np : 0, dm = nm > 0 ? ym / nm : 0;
        c->P_rot += beta * (dp - c->P_rot);
        c->M_rot += beta * (dm - c->M_rot);
        c->P_rot = c->P_rot > most ? most : c->P_rot < -most ? -most : c->P_rot;
        c->M_rot = c->M_rot > most ? most : c->M_rot < -most ? -most : c->M_rot;
    }
    c->P_re = npr;
    c->P_im = npi;
    c->M_re = nmr;
    c->M_im = nmi;
    // Both lines as unit phasors, for the symbols until the next block.
    double pa = std::sqrt(npr * npr + npi * npi), ma = std::sqrt(nmr * nmr + nmi * nmi);
    c->lines_known = pa > 0 && ma > 0;
    if (c->lines_known) {
        double ip = 1 / pa, im = 1 / ma;
        c->Pu_re = npr * ip;
        c->Pu_im = npi * ip;
        c->Mu_re = nmr * im;
        c->Mu_im = nmi * im;
    }
    c->lp = c->lx = coherent_pair_t{0, 0};
    // The click limiter's level from the tone's amplitude (the matched
    // filter's amplitude is 9/2 of it), once that is known.
    c->limit = c->limit_tones > 0 && c->symbols > 32 && c->amp > 0
                   ? c->limit_tones * (2.0 / 9) * c->amp
                   : 1e30;
}

// The symbol at c->t_next: its window is complete.
void symbol(coherent_t* c)
{
    double t = c->t_next;
    double base = std::floor(t);
    double f = t - base;
    std::uint64_t b = (std::uint64_t)base;

    // The matched filter at the fractional instant, over the window in one
    // piece (the ring holds every sample twice).
    const int first = (int)((b - 8) & RING_MASK);
    const coherent_pair_t* __restrict win = c->z + first;
    coherent_pair_t cc = {0, 0}, cs = {0, 0};
    for (int i = 0; i < 18; i++) {
        cc += win[i] * c->mf_cos[i];
        cs += win[i] * c->mf_sin[i];
    }
    double ccr = cc[0], cci = cc[1], csr = cs[0], csi = cs[1];
    double cf, sf;
    small_rotation(PI * f / 18, &cf, &sf);
    double mf_r = cf * ccr + sf * csr, mf_i = cf * cci + sf * csi;
    // The same with the sine taps sin(pi (i - f) / 18): the matched filter
    // of the derivative (the tone balance below).
    double ms_r = cf * csr - sf * ccr, ms_i = cf * csi - sf * cci;
    // Tone balance: mf - j tilt ms, the matched filter of z + tilt z' / (j pi/18),
    // a gain of 1 + tilt at 1800 Hz and 1 - tilt at 1200 Hz.
    mf_r += c->tilt * ms_i;
    mf_i -= c->tilt * ms_r;

    // The reference: ref^2 from both lines at t, each by its own phase.
    // e^{j pi t / 9}: the whole samples from the line table, the fraction
    // turned on.
    int whole = (int)(b % 18);
    double lr = c->line[whole][0], li = c->line[whole][1];  // e^{j pi whole / 9}
    double fc, fs;
    small_rotation(PI * f / 9, &fc, &fs);
    double ca = lr * fc - li * fs, sa = lr * fs + li * fc;
    double r2r = 0, r2i = 0;
    double err = 0;
    if (c->lines_known) {
        // P e^{j pi t/9} / |P| + M e^{-j pi t/9} / |M|
        double ur = c->Pu_re * ca - c->Pu_im * sa, ui = c->Pu_re * sa + c->Pu_im * ca;
        double vr = c->Mu_re * ca + c->Mu_im * sa, vi = c->Mu_im * ca - c->Mu_re * sa;
        r2r = ur + vr;
        r2i = ui + vi;
        // arg(u conj(v)) = 2 pi (t - eps) / 9
        err = fast_atan2(ui * vr - ur * vi, ur * vr + ui * vi) * (SPB / (2 * PI));
    }
    // The square root: the direction halfway between ref^2 and the positive
    // real axis, r2 + |r2|; its sign continuous with j times the last
    // reference.  (r2 on the negative real axis: the root is j.)
    double mag = std::sqrt(r2r * r2r + r2i * r2i);
    double hr = r2r + mag, hi = r2i;
    double hn = hr * hr + hi * hi;
    double refr = 0, refi = 1;
    if (hn > 1e-12 * (mag * mag) && hn > 0) {
        double inv = 1 / std::sqrt(hn);
        refr = hr * inv;
        refi = hi * inv;
    } else if (mag == 0) {
        refr = 1;
        refi = 0;
    }
    // Expected: j * last = (-c_im, c_re).
    if (refr * -c->c_im + refi * c->c_re < 0) {
        refr = -refr;
        refi = -refi;
    }
    c->c_re = refr;
    c->c_im = refi;

    double y = mf_r * refr + mf_i * refi;  // Re{ mf conj(ref) }

    // Level and noise from the moments of y: A from the mean of |y|, the
    // noise from what y varies about +-A.
    if (c->symbols < COUNT_MAX)
        c->symbols++;
    double ay = std::fabs(y);
    // A signal out of noise alone: the moments still hold the noise's, and
    // would give the signal's first MOMENT_TAU symbols LLRs far too small.
    // A change of gain keeps the ratio of noise to level; a signal coming
    // makes it fall, and the last RECENT symbols show it at once.  So when
    // their noise-to-level ratio is below the moments' by RESTART_RATIO,
    // the moments restart from those symbols alone and average from there
    // as at the start.  A mixture of levels (a gain changing, a signal
    // fading) never looks cleaner than the long average.  Symbols of a
    // steady signal or of noise alone look so clean by chance as rarely as
    // the variance of 32 Gaussian samples falls to an eighth of its mean:
    // 10^-9 (a restart in 200 hours; of 16 symbols, 2 * 10^-5, and 2 or 3
    // restarts were seen in 100 s at every SNR).  A signal comes out of the
    // noise in 32 symbols and a few more while the lines turn to it.
    const int N = COHERENT_RECENT;
    if (c->symbols > N && c->moments > N) {
        double r1 = c->recent1, r2 = c->recent2;
        double var = N * r2 - r1 * r1;  // N^2 times their variance about the mean |y|
        if (var < 1e-3 * N * r2)
            var = 1e-3 * N * r2;  // as for the moments: a clean signal is as clean as any
        // noise / m1^2 > RESTART_RATIO var / r1^2
        if (c->noise * r1 * r1 > RESTART_RATIO * var * c->m1 * c->m1) {
            c->m1 = r1 / N;
            c->m2 = r2 / N;
            c->inner = var / (N * N);
            c->moments = N;
            c->restarts++;
        }
    }
    // Their sums kept running, and summed afresh once a round so that no
    // rounding stays behind (of loud noise, say, against a weak signal).
    int at = (int)(c->symbols & (N - 1));
    double old = c->recent[at];
    c->recent[at] = y;
    c->recent1 += ay - std::fabs(old);
    c->recent2 += y * y - old * old;
    if (at == 0) {
        c->recent1 = c->recent2 = 0;
        for (int i = 0; i < N; i++) {
            c->recent1 += std::fabs(c->recent[i]);
            c->recent2 += c->recent[i] * c->recent[i];
        }
    }
    if (c->moments < COUNT_MAX)
        c->moments++;
    double w = c->moments < MOMENT_TAU ? 1.0 / c->moments : 1.0 / MOMENT_TAU;
    // A level step (a fade, a volume change) would leave the moments, and
    // with them the LLRs' scale, wrong by the step for MOMENT_TAU symbols;
    // so the level is also followed fast (LEVEL_TAU), and when the two part
    // by more than the fast one wanders, the moments are scaled to it at once.
    double wl = c->symbols < LEVEL_TAU ? 1.0 / c->symbols : 1.0 / LEVEL_TAU;
    c->level += wl * (ay - c->level);
    if (c->symbols > LEVEL_TAU && c->m1 > 0) {
        // Half as much again on a clean signal; in noise, where the fast
        // level wanders by itself, four times its own wander.
        double wander = 4 * std::sqrt(c->noise / (c->m1 * c->m1 * LEVEL_TAU));
        double step = 1 + (wander > LEVEL_STEP - 1 ? wander : LEVEL_STEP - 1);
        double g = c->level / c->m1;
        if (g > step || g * step < 1) {
            c->m1 *= g;
            c->m2 *= g * g;
            c->inner *= g * g;
        }
    }
    c->m1 += w * (ay - c->m1);
    c->m2 += w * (y * y - c->m2);
    double s2 = c->m2 - c->m1 * c->m1;
    // The noise that matters is the one toward the decision boundary: of
    // noise clipped at full scale only the other side is cut.  Its variance,
    // from the symbols that came out weaker than A, is s^2 for Gaussian
    // noise and larger for clipped noise, and it is taken when larger.
    if (ay < c->m1) {
        double d = c->m1 - ay;
        double wi = c->moments < MOMENT_TAU ? w : 2.0 / MOMENT_TAU;  // about half the symbols
        c->inner += wi * (d * d - c->inner);
    }
    if (c->moments >= MOMENT_TAU && c->inner > s2)
        s2 = c->inner;
    if (s2 < 1e-3 * c->m2)
        s2 = 1e-3 * c->m2;  // a clean signal: LLRs of 2000 / A at most
    c->amp = c->m1;
    c->noise = s2;
    double llr = s2 > 0 ? 2 * c->amp * y / s2 : 0;

    // The bit between the last symbol and this one.
    if (c->symbols > 1) {
        double bit_llr = -boxplus(c->last_llr, llr);
        input_sample = c->first_sample + c->n + 1;
        c->sink((float)bit_llr);
    }
    // The tone balance: the symbol before this one lay between two bits now
    // known; between two 0s it is all 1800 Hz, between two 1s all 1200 Hz,
    // and both must come out alike.  Bits of the last BALANCE_TAU symbols
    // weigh in, each as sure as its sign.
    bool bit_now = (llr < 0) != (c->last_llr < 0);
    if (c->symbols > 2 && bit_now == c->last_bit && c->amp > 0) {
        double step = std::fabs(c->last_y) / c->amp - 1;  // how far from the mean
        c->tilt += (bit_now ? step : -step) * (1.0 / BALANCE_TAU);
        c->tilt = c->tilt > TILT_MAX ? TILT_MAX : c->tilt < -TILT_MAX ? -TILT_MAX : c->tilt;
    }
    c->last_bit = bit_now;
    c->last_y = y;
    c->last_llr = llr;

    // The next instant.
    c->last_timing_error = err;
    c->period -= PERIOD_GAIN * err;
    if (c->period < SPB * 0.99)
        c->period = SPB * 0.99;
    if (c->period > SPB * 1.01)
        c->period = SPB * 1.01;
    c->t_next = t + c->period - TIMING_GAIN * err;
    c->ready_at = (std::uint64_t)std::floor(c->t_next) + 9;
}

// Limited: the samples are limited (the IQ path); audio never is, and its
// loop goes without the two comparisons.
template <bool Limited, typename Sample, typename Level>
void process(coherent_t* c, const Sample* samples, int count, Level level)
{
    // The per-sample state in locals, written back only around the block
    // and symbol steps (about two in nine samples).
    coherent_pair_t* const __restrict z = c->z;
    coherent_pair_t* const __restrict ring1 = c->a;
    const coherent_pair_t* const __restrict mix = c->mix;
    const coherent_pair_t* const __restrict line = c->line;
    const coherent_pair_t* const __restrict line_swapped = c->line_swapped;
    coherent_pair_t s1 = c->s1, s2 = c->s2;
    coherent_pair_t lp = c->lp, lx = c->lx;
    double limit = c->limit;
    int mix_phase = c->mix_phase, line_phase = c->line_phase, block_fill = c->block_fill;
    std::uint64_t n = c->n;
    for (int i = 0; i < count; i++, n++) {
        double x = level(samples[i]);
        if (Limited)
            x = x > limit ? limit : x < -limit ? -limit : x;
        int at = (int)(n & RING_MASK);
        coherent_pair_t zn = x * mix[mix_phase];
        // Each baseband sample is kept twice, RING apart, so that the
        // matched filter reads its window in one piece.
        z[at] = z[at + COHERENT_RING] = zn;
        // The two boxcars.
        int back1 = (int)((n - BOX1) & RING_MASK), back2 = (int)((n - BOX2) & RING_MASK);
        s1 += zn - z[back1];
        ring1[at] = s1;
        s2 += s1 - ring1[back2];
        // Squared, against both lines: w conj(l) and w l with l = e^{j pi n'/9},
        // kept as the four products' sums (block_end adds them up).
        double s2r = s2[0], s2i = s2[1];
        coherent_pair_t w = {s2r * s2r - s2i * s2i, 2 * s2r * s2i};
        lp += w * line[line_phase];
        lx += w * line_swapped[line_phase];
        mix_phase = mix_phase == 35 ? 0 : mix_phase + 1;
        line_phase = line_phase == 17 ? 0 : line_phase + 1;
        bool block = ++block_fill == SPB;
        if (block || n >= c->ready_at) {
            c->lp = lp;
            c->lx = lx;
            c->n = n;
            if (block) {
                block_fill = 0;
                block_end(c);
            }
            if (n >= c->ready_at)
                symbol(c);
            lp = c->lp;
            lx = c->lx;
            limit = c->limit;
        }
    }
    c->s1 = s1;
    c->s2 = s2;
    c->lp = lp;
    c->lx = lx;
    c->mix_phase = mix_phase;
    c->line_phase = line_phase;
    c->block_fill = block_fill;
    c->n = n;
}

}  // namespace

void coherent_to_framing(float llr)
{
    // What the correlator tells CORRECT=1 of each bit beside its value,
    // from the size of the LLR: weak, doubtful and split bits are those
    // whose chance of being wrong is above about 2 %, 12 % and 30 %.
    float a = llr < 0 ? -llr : llr;
    int ones = a < 0.85f ? 5 : a < 2.0f ? 6 : a < 4.0f ? 7 : 9;
    correct_note_bit(llr > 0 ? ones : 9 - ones, 9, 0);
    soft_bit(llr, &mpt1327_state);
}

void coherent_init(coherent_t* c, void (*sink)(float llr))
{
    if (!softplus_ready)
        softplus_build();
    *c = coherent_t{};
    for (int n = 0; n < 36; n++) {
        double a = 2 * PI * 1500.0 * n / 10800.0;
        c->mix[n] = coherent_pair_t{std::cos(a), -std::sin(a)};
    }
    for (int n = 0; n < 18; n++) {
        c->line[n] = coherent_pair_t{std::cos(PI * n / 9), std::sin(PI * n / 9)};
        c->line_swapped[n] = coherent_pair_t{std::sin(PI * n / 9), std::cos(PI * n / 9)};
    }
    for (int i = 0; i < 18; i++) {
        c->mf_cos[i] = std::cos(PI * (i - 8) / 18);
        c->mf_sin[i] = std::sin(PI * (i - 8) / 18);
    }
    for (int s = 0; s < 256; s++)
        c->level_u8[s] = (s - 128.0) / 128.0;
    c->line_phase = (18 - LINE_DELAY % 18) % 18;
    c->period = SPB;
    c->t_next = 9;
    c->ready_at = 9 + 9;
    c->c_re = 0;
    c->c_im = -1;  // so that the first reference keeps the sign sqrt gives it
    c->sink = sink ? sink : coherent_to_framing;
    c->limit = 1e30;
}

void coherent_process_u8(coherent_t* c, const unsigned char* samples, int n)
{
    const double* level = c->level_u8;
    if (c->limit_tones > 0)
        process<true>(c, samples, n, [level](unsigned char s) { return level[s]; });
    else
        process<false>(c, samples, n, [level](unsigned char s) { return level[s]; });
}

void coherent_process_float(coherent_t* c, const float* samples, int n)
{
    // Anything not a number (a damaged cf32 capture) counts as silence and
    // anything huge as full scale times a thousand, so that no running sum
    // is ever poisoned.
    process<true>(c, samples, n, [](float s) {
        return s == s ? (s > 1000.0f ? 1000.0 : s < -1000.0f ? -1000.0 : (double)s) : 0.0;
    });
}
