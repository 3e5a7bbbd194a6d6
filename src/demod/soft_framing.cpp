// The soft framing of DEMOD=1: slots found by soft correlation, each
// address codeword decoded from its 64 reliabilities, and taken only when
// it explains them far better than anything else does.
//
// Slots.  A control channel sends slots of 128 bits: a system codeword,
// whose 48 information bits are the same in every slot once the identity
// is known, then an address codeword.  So the framing has three sources of
// certainty, used in this order:
//
// - A system codeword received without a single error (its last 16 bits a
//   sync word, the check passing) frames a slot at once, wherever it comes
//   outside an address codeword's window, as the framing of DEMOD=0 does,
//   and is the only way a new identity is learned.  On a clean signal this
//   alone frames every slot, and every report comes out as DEMOD=0 gives
//   it.  Its bit 1 must be 0 and bits 33-48 the preamble 0xAAAA, as in
//   every system codeword, where DEMOD=0 asks the check alone: an address
//   codeword read a bit out of place is nearly another codeword (the code
//   is cyclic), and where a slot was coasted over and every bit is
//   hunted, one so read ended in a sync word and passed the check once in
//   53 000 slots at -3.5 dB.  Its identity would replace the system's.
//
// - With the identity known, the two system codewords of the system (one
//   per sync word, and two more with SYNC=2) are known bit for bit, and
//   lambda of each (see soft.h) is a sliding correlation: the sum over the
//   64 bits of ln 2 - ln(1 + e^-|llr|), less |llr| of every bit against the
//   template.  Where the next slot is due (128 bits after the last system
//   codeword, SLIP_BITS early or late allowed for a slip of the bit
//   timing), every place and template is weighed, the best one taken by
//   the rule below; where none explains the bits as they came, each is
//   weighed again with a slip inside its bits 1-48 as well (a bit lost or
//   read in addition there, with a prior of one in 100 slots).  Through a fade up to SLOTS_COASTED slots are coasted
//   over on the timing alone; after that, and when no slot was framed
//   yet, every bit is a place, and the rule counts 2^16 places for each.
//
// - An address codeword ends 64 bits after its system codeword.  It is
//   decoded there (soft_decode.cpp) and held until the next slot: if that
//   slot's system codeword ends exactly 128 bits after the last, the bit
//   timing did not slip between them (or slipped both ways) and the window
//   was read in its place (confirmed).  Otherwise (the slot came early or
//   late, or not at all, or the input ended) the window may be a bit out
//   of place, and the windows read a bit earlier and a bit later are
//   decoded as well, as competitors, and where the next slot came exactly
//   one bit late (early), the window is read with each of its bits taken
//   as one read twice (with a bit put in as unknown at each place), as
//   candidates and competitors.  The codeword the candidate readings weigh
//   most for is taken, and the codewords of the other readings are its
//   competitors: a codeword read a bit out of place is one or two bits from
//   another codeword (the code is cyclic), and this is the way a slip
//   would make one that was never sent.  Two slips that cancel inside a
//   slot leave its window read out of place and confirmed: with a slip in
//   every 500 bits (marrowit-softsweep --slip 0.002), 6 codewords never sent
//   came so, or from three slips, in 190 000 slots; with one in 2000, none.
//
// The rule, one for system and address codewords alike.  For the best
// codeword c1 of a window and every other explanation of its reliabilities,
//
//     M = lambda(c1) - ln( sum over other codewords c of e^lambda(c) + e^noise )
//
// is the log-odds of c1 (the log of its posterior probability over that of
// all the rest), with lambda the log-likelihood against random bits.  It
// is taken when M >= T (soft_threshold).  Its two parts:
//
// - Against the other codewords: the sum runs over every codeword the
//   search found (and other alignments, above), plus a bound for those it
//   could not see.  A word with M >= T is the wrong one with a probability
//   of at most e^-T, and most words taken are far above it.  Where another
//   codeword explains the window almost as well, M is small whatever the
//   word's own quality, and it is refused: no list of special cases.
//
// - Against noise: e^lambda of any one word, a likelihood ratio, has mean 1
//   under noise, so the sum of e^lambda over all 2^48 address codewords has
//   mean 2^48.  An address codeword is looked at only after a system
//   codeword framed its slot, and noise there is given prior odds of 2^-16
//   against a codeword: noise = 48 ln 2 - 16 ln 2 = 32 ln 2
//   (soft_address_noise).  With the
//   identity known, lambda of a clean system codeword is 64 ln 2 = 44.4; an
//   address codeword can reach 16 ln 2 + 16 ln 2 = 22.2 above its noise
//   term, so a clean one is taken with room, and the errors a codeword may
//   have cost at most 22.2 - T of |llr| in all.  Noise in a framed window
//   is refused mostly by the other part: many codewords explain noise
//   about equally well, and where the next slot does not confirm the
//   window, the windows read a bit earlier and later explain it as well.
//   For a system codeword the noise term is the number of places and
//   templates tried (each has e^lambda 1 on average under noise).
//
// T = 12 nats (soft_threshold).  Where a word is closest to it, it is the
// wrong one with a probability of e^-12 = 6 * 10^-6.  Summed over what the
// sweep takes (marrowit-softsweep --raw prints the sums), the posterior
// probabilities expect about 0.2 wrong codewords in 10^6 slots from -6 to
// +3 dB, most of them near -4 dB, where half the codewords are taken; at
// T = 10 they would expect 0.6, and T = 12 costs about 0.2 dB at the 50 %
// point.  A system codeword is found in noise with a probability of at
// most e^-12 per coasted slot (Markov's inequality on the sum of e^lambda
// over the places and templates), and of 10^-10 per bit while hunting
// (2 * 10^-4 in 30 minutes).  Measured (README, Soft decoding): no
// codeword that was not sent in 10^6 slots of the sweep, with slips, in
// noise alone, and where noise came in place of every address codeword
// between system codewords that framed and confirmed it.
#include <cmath>
#include <cstring>

#include "mpt1327/correct.h"
#include "mpt1327/fields.h"
#include "soft.h"
#include "mpt1327/decoder.h"

double soft_threshold = 12;
double soft_address_noise = 32 * SOFT_LN2;
void (*soft_watch)(const unsigned short cw[4], double margin);

double soft_margin(double lambda, double others, double noise)
{
    return lambda - soft_logaddexp(others, noise);
}

namespace {

const int SLOT_BITS = 128;
const int SLIP_BITS = 2;        // a slot may end this many bits early or late
const int SLOTS_COASTED = 8;    // slots missed before every bit is a place again
const double HUNT_PLACES = 16 * SOFT_LN2;  // ln of the places counted for one while hunting
const int RING = 256;           // reliabilities kept: the held window, a slot and more

// The last RING reliabilities, by bit number (bits counted from 1).
float ring[RING];
float good[RING];  // ln 2 - ln(1 + e^-|llr|) of each: its part of lambda when matched
unsigned long long bits;
double good_sum;  // of the last 64 bits (recomputed every 64)
std::uint64_t reg;         // hard decisions of the last 64 bits, the newest lowest

// The system codewords of the current identity.
std::uint64_t templates[4];
int ntemplates;
unsigned short template_sys = 0xffff;
sync_pair_t template_words[2];

// Slot timing: the bit at which the next system codeword is due to end,
// the slots still coasted, and the end of the open window (0: none).
bool locked;
unsigned long long expect, window_end;
int coast;
double slot_lambda[2 * SLIP_BITS + 1][4];

// The address codeword decoded and held until the next slot.
struct held_t {
    bool on;
    unsigned long long end;  // bit number of its 64th bit
    soft_word_t w;
} held;

void window_at(unsigned long long end, float w[64])
{
    for (int i = 0; i < 64; i++) {
        unsigned long long b = end - 63 + (unsigned long long)i;
        w[i] = b >= 1 && b <= bits && b + RING > bits ? ring[b % RING] : 0.0f;
    }
}

void unpack(std::uint64_t v, unsigned short cw[4])
{
    for (int w = 0; w < 4; w++)
        cw[w] = (unsigned short)(v >> (48 - 16 * w));
}

// Route word to the families with the register holding it.
void route(mpt1327_t* s, std::uint64_t word, bool system, double margin)
{
    unsigned short now[4];
    std::memcpy(now, s->cw, sizeof now);
    unpack(word, s->cw);
    if (soft_watch)
        soft_watch(s->cw, margin);
    decode_counts.passed++;
    if (system)
        framing_system(s);
    else
        framing_address(s);
    std::memcpy(s->cw, now, sizeof now);
}

void make_templates()
{
    if (template_sys == currentsys && std::memcmp(template_words, sync_words, sizeof template_words) == 0)
        return;
    template_sys = currentsys;
    std::memcpy(template_words, sync_words, sizeof template_words);
    ntemplates = 0;
    if (currentsys == 0xffff)
        return;
    for (const sync_pair_t& p : template_words)
        for (unsigned short sync : {p.control, p.data}) {
            std::uint64_t t = (std::uint64_t)(currentsys & 0x7fff) << 48 | 0xAAAAull << 16 | sync;
            t = soft_fill_check(t, 17, 32);
            bool known = t == 0;
            for (int k = 0; k < ntemplates; k++)
                known = known || templates[k] == t;
            if (!known)
                templates[ntemplates++] = t;
        }
}

// lambda of template t for the last 64 bits, or anything below floor
// once it is sure to end there.
double template_lambda(std::uint64_t t, double floor = -INFINITY)
{
    double lambda = good_sum;
    for (std::uint64_t diff = reg ^ t; diff && lambda >= floor; diff &= diff - 1) {
        int k = __builtin_ctzll(diff);  // k bits before the newest
        lambda -= std::fabs(ring[(bits - (unsigned long long)k) % RING]);
    }
    return lambda;
}

// The readings of a held window that the next slot leaves possible, each
// decoded: the codeword found, its lambda and its competitors' weight.
const int READINGS = 1 + 2 + 64;  // in place, a bit earlier and later, a slip at each bit (no slot: 2 with bits unknown)
struct reading_t {
    std::uint64_t word;
    double lambda, others;
    int flips;
};
reading_t readings[READINGS];

// One decoder's (decoder.h): everything above that follows the signal.
decoder_var(ring);
decoder_var(good);
decoder_var(bits);
decoder_var(good_sum);
decoder_var(reg);
decoder_var(templates);
decoder_var(ntemplates);
decoder_var(template_sys);
decoder_var(template_words);
decoder_var(locked);
decoder_var(expect);
decoder_var(window_end);
decoder_var(coast);
decoder_var(slot_lambda);
decoder_var(held);
decoder_var(readings);

void read_window(const float w[64], int* n)
{
    soft_word_t d;
    soft_decode(w, &d);
    readings[*n] = reading_t{d.word, d.lambda, d.others, d.flips};
    ++*n;
}

// The held address codeword, taken or refused.  moved: how many bits late
// the next system codeword ended against a slot after the held window's
// own (0: the window confirmed), NO_SLOT when none came in its place.
//
// Unconfirmed, the window is read a bit earlier and a bit later as well
// (competitors only), and where the next slot came one bit late (early),
// with each of its bits taken as the one read twice (the place of each as
// the one skipped): the codeword taken is the one the readings in place
// and across a slip explain best, each reading counting with all its
// weight, and the codewords of the other readings are its competitors.
const int NO_SLOT = 1000;
void settle(mpt1327_t* s, int moved)
{
    if (!held.on)
        return;
    held.on = false;
    int n = 0;
    readings[n++] = reading_t{held.w.word, held.w.lambda, held.w.others, held.w.flips};
    if (moved != 0) {
        float w[64];
        for (long long shift : {-1LL, 1LL}) {
            window_at(held.end + (unsigned long long)shift, w);
            read_window(w, &n);
        }
        if (moved == 1 || moved == -1) {
            // The 65 (63) bits from the window's first on, a bit left out
            // (put in as unknown) at each place.
            float around[65];
            window_at(held.end, w);
            for (int i = 0; i < 64; i++)
                around[i] = w[i];
            window_at(held.end + 1, w);
            around[64] = w[63];
            for (int j = 0; j < 64; j++) {
                float r[64];
                for (int i = 0, k = 0; i < 64; i++)
                    r[i] = moved == 1 ? around[i < j ? i : i + 1] : i == j ? 0.0f : around[k++];
                read_window(r, &n);
            }
        }
    }
    // No slot came: the signal may have stopped at the window's end.  The
    // LLR of its last bit is the box-plus of two symbols, and the second
    // one's pulse lies half past the window, where nothing vouches for the
    // signal any more: noise that begins there (after a clean signal, with
    // the clean signal's LLR scale) can turn it over with full certainty.
    // So the window is read with that bit unknown as well, a candidate;
    // and, with the same benefit, the window read a bit later with its last
    // two bits unknown, a competitor.
    int erased_later = -1;
    if (moved == NO_SLOT) {
        float w[64];
        window_at(held.end, w);
        w[63] = 0;
        read_window(w, &n);
        window_at(held.end + 1, w);
        w[62] = w[63] = 0;
        erased_later = n;
        read_window(w, &n);
    }
    // The codeword the readings weigh most for, by the sum of e^lambda.  The
    // window read a bit earlier or later is only a competitor: the window
    // begins where its system codeword ended, and a window read a bit out
    // of place that makes a codeword is what two slips make of one that
    // was sent.
    int best = 0;
    double best_weight = -INFINITY;
    for (int i = 0; i < n; i++) {
        if (i == 1 || i == 2 || i == erased_later)
            continue;
        double weight = -INFINITY;
        for (int k = 0; k < n; k++)
            if (readings[k].word == readings[i].word)
                weight = soft_logaddexp(weight, readings[k].lambda);
        if (weight > best_weight) {
            best_weight = weight;
            best = i;
        }
    }
    double others = -INFINITY;
    for (int k = 0; k < n; k++) {
        others = soft_logaddexp(others, readings[k].others);
        if (readings[k].word != readings[best].word)
            others = soft_logaddexp(others, readings[k].lambda);
    }
    double m = soft_margin(best_weight, others, soft_address_noise);
    if (m < soft_threshold) {
        decode_counts.failed++;
        return;
    }
    if (readings[best].flips != 0 || best != 0)
        decode_counts.corrected++;
    route(s, readings[best].word, false, m);
}

// A system codeword accepted, ending at the newest bit or early bits
// before it: the held codeword settled, the codeword routed, the slot
// timing and the window set from it.
void accept_system(mpt1327_t* s, std::uint64_t word, int early, double margin, bool corrected)
{
    unsigned long long end = bits - (unsigned long long)early;
    settle(s, (int)((long long)end - (long long)(held.end + SLOT_BITS - 64)));
    decode_counts.syncs++;
    if (corrected)
        decode_counts.corrected++;
    route(s, word, true, margin);
    make_templates();
    locked = true;
    expect = end + SLOT_BITS;
    coast = SLOTS_COASTED;
    window_end = end + 64;
}

// lambda of template t ending at bit end with the bit timing slipped
// inside its bits 1-48 (its sync word is where the place says): one bit of
// it lost, or one bit read in addition, after each of them, each way with
// a prior of SLIP_PRIOR (ln); the sum of e^lambda over these, as a log.
const double SLIP_PRIOR = -std::log(100.0 * 96);  // a slip in one system codeword in 100, at any of 96 places
double slipped_lambda(unsigned long long end, std::uint64_t t)
{
    // term(i, k): template bit i (1-64) against the bit received at end - 64 + k.
    auto term = [&](int i, int k) {
        unsigned long long p = end - 64 + (unsigned long long)k;
        float l = ring[p % RING];
        bool bit = t >> (64 - i) & 1;
        return (double)good[p % RING] - ((l > 0) != bit ? std::fabs((double)l) : 0.0);
    };
    double suffix[66];
    suffix[65] = 0;
    for (int i = 64; i >= 1; i--)
        suffix[i] = suffix[i + 1] + term(i, i);
    double sum = -INFINITY, lost = 0, added = 0;
    for (int j = 1; j <= 48; j++) {
        // Lost: bits 1..j-1 one place later, bit j not received.
        if (j > 1)
            lost += term(j - 1, j);
        // Added after bit j: bits 1..j one place earlier, bit j + 1 extra.
        added += term(j, j - 1);
        sum = soft_logaddexp(sum, soft_logaddexp(lost, added) + suffix[j + 1]);
    }
    return sum + SLIP_PRIOR;
}

// The decision at a slot: the best place and template by the rule, or -1.
int slot_best(double* margin)
{
    int best = 0, n = (2 * SLIP_BITS + 1) * ntemplates;
    for (int h = 1; h < n; h++)
        if (slot_lambda[h / ntemplates][h % ntemplates] > slot_lambda[best / ntemplates][best % ntemplates])
            best = h;
    double others = -INFINITY;
    for (int h = 0; h < n; h++)
        if (h != best)
            others = soft_logaddexp(others, slot_lambda[h / ntemplates][h % ntemplates]);
    *margin = soft_margin(slot_lambda[best / ntemplates][best % ntemplates], others, std::log((double)n));
    return *margin >= soft_threshold ? best : -1;
}

// Where the next slot is due: the places and templates weighed, the best
// taken by the rule, or the slot coasted over.  Where no place explains the
// bits as they came, each is weighed again with a slip inside it as well.
void slot_due(mpt1327_t* s)
{
    int at = (int)(bits + SLIP_BITS - expect);  // 0 .. 2 SLIP_BITS
    for (int t = 0; t < ntemplates; t++)
        slot_lambda[at][t] = template_lambda(templates[t]);
    if (at < 2 * SLIP_BITS)
        return;
    double m;
    int best = slot_best(&m);
    if (best < 0) {
        for (int a = 0; a <= 2 * SLIP_BITS; a++)
            for (int t = 0; t < ntemplates; t++) {
                unsigned long long end = expect - SLIP_BITS + (unsigned long long)a;
                slot_lambda[a][t] = soft_logaddexp(slot_lambda[a][t], slipped_lambda(end, templates[t]));
            }
        best = slot_best(&m);
    }
    if (best >= 0) {
        accept_system(s, templates[best % ntemplates], 2 * SLIP_BITS - best / ntemplates, m, true);
        return;
    }
    settle(s, NO_SLOT);
    expect += SLOT_BITS;
    if (--coast == 0)
        locked = false;
}

// No slot timing: every bit is a place for each template.
void hunt_places(mpt1327_t* s)
{
    double noise = HUNT_PLACES + std::log((double)ntemplates);
    for (int t = 0; t < ntemplates; t++) {
        double lambda = template_lambda(templates[t], soft_threshold + noise);
        double m = soft_margin(lambda, -INFINITY, noise);
        if (m >= soft_threshold) {
            accept_system(s, templates[t], 0, m, true);
            return;
        }
    }
}

}  // namespace

void soft_bit(float llr, mpt1327_t* state)
{
    if (!(llr == llr))
        llr = 0;  // a NaN from a broken front end is no information
    const float SUREST = 100;  // e^-100: sure beyond any use, and never infinite
    llr = llr > SUREST ? SUREST : llr < -SUREST ? -SUREST : llr;
    unsigned short* cw = state->cw;
    cw[0] = (unsigned short)(cw[0] << 1 | cw[1] >> 15);
    cw[1] = (unsigned short)(cw[1] << 1 | cw[2] >> 15);
    cw[2] = (unsigned short)(cw[2] << 1 | cw[3] >> 15);
    cw[3] = (unsigned short)(cw[3] << 1 | (llr > 0 ? 1 : 0));
    state->nbits++;
    reg = reg << 1 | (llr > 0 ? 1 : 0);

    bits++;
    double a = std::fabs((double)llr);
    float g = (float)(SOFT_LN2 - (a > 30 ? 0.0 : std::log1p(std::exp(-a))));
    if (bits > 64)
        good_sum -= good[(bits - 64) % RING];
    ring[bits % RING] = llr;
    good[bits % RING] = g;
    good_sum += g;
    if (bits % 64 == 0) {  // no drift of the running sum
        good_sum = 0;
        for (int i = 0; i < 64; i++)
            good_sum += good[(bits - (unsigned long long)i) % RING];
    }

    if (window_end != 0) {
        if (bits < window_end)
            return;
        float w[64];
        window_at(bits, w);
        held.on = true;
        held.end = bits;
        soft_decode(w, &held.w);
        window_end = 0;
        return;
    }
    // An error-free system codeword frames a slot wherever it comes.
    if (is_sync(cw[3]) && cw_bits(cw, 1, 1) == 0 && cw_bits(cw, 33, 48) == 0xAAAA && mpt1327_fcs(state) == 0) {
        accept_system(state, reg, 0, INFINITY, false);
        return;
    }
    make_templates();
    if (ntemplates == 0)
        return;
    if (locked) {
        if (bits + SLIP_BITS >= expect && bits <= expect + SLIP_BITS)
            slot_due(state);
    } else {
        hunt_places(state);
    }
}

void soft_end(mpt1327_t* state)
{
    settle(state, NO_SLOT);
}

void soft_reset()
{
    std::memset(ring, 0, sizeof ring);
    std::memset(good, 0, sizeof good);
    bits = 0;
    good_sum = 0;
    reg = 0;
    ntemplates = 0;
    template_sys = 0xffff;
    locked = false;
    expect = window_end = 0;
    coast = 0;
    held = held_t{};
}
