// Soft-decision decoding of a codeword: ordered-statistics decoding.
//
// The codeword is the (63,48) cyclic code of the check (fcs.cpp) with the
// overall parity bit: 48 information bits and 16 check bits, minimum
// distance 6.  The check is affine in the bits, so a 16-bit column per bit
// (the check result of a word with that bit alone flipped, against that of
// the all-zero word) is the parity-check matrix H, and a word c passes the
// check exactly when the columns of the bits where it differs from the
// hard decisions add up (xor) to the check result of the hard decisions.
//
// Ordered statistics: the bits are ordered by reliability |llr|.  Going up
// from the least reliable bit, the first 16 whose columns are independent
// form the least reliable basis; the other 48 are the most reliable basis
// (MRB).  Any choice of flips on the MRB fixes the flips on the 16 basis
// bits (their columns are independent: exactly one set of them completes
// the check).  Order 2 tries every pattern of at most two flips on the MRB
// (1 + 48 + 1128 codewords) and keeps the one whose flipped bits weigh
// least, the sum of their |llr|: the most likely codeword among them.  The
// codeword sent is among those tried unless three or more of its errors
// fall on the MRB.  Measured on ideal reliabilities (marrowit-softsweep
// --raw), its choice is the codeword sent for 71 % of the codewords at
// -6 dB, 92.8 % at -5 and 99.1 % at -4; Chase decoding (the hard two-error
// decoder of correct.cpp on every pattern of the 6 least reliable bits, 64
// tries) chooses it for 59 %, 86.9 % and 97.9 %.  It costs about 15
// microseconds a codeword at -1 dB, 50 at -4 dB, and 1.3 for a clean one
// (marrowit_soft_bench), at 10 codewords a second.
//
// What the search cannot see weighs in as well: a codeword outside it has
// at least order + 1 flips on the MRB, each costing at least the |llr| of
// the least reliable MRB bits, and one such competitor with that bound is
// added to the others (it never lets a word in, it only holds words back
// where the search was too narrow to be sure).  Where that bound alone
// holds a word back, the search runs again with order 3 (18 424 codewords),
// and at -4 dB the rule takes 50 % of the codewords where it took 37 %
// with order 2 alone.
//
// The bits are not independent: each is the XOR of two neighbouring
// symbols of the coherent front end, so one symbol received wrong turns two
// neighbouring bits, and two neighbouring flips weigh as the surer of the
// two alone (pair_credit).  Summed as independent bits, such a symbol
// counted twice against the codeword sent, and the sensitivity sweep took
// 6 codewords never sent (each 6 bits from the one sent, margins 12.2 to
// 13.0) in 2 650 000 slots.
#include <algorithm>
#include <cmath>

#include "soft.h"

int soft_order = 2;

namespace {

// H: the check columns of bits 1-64 (index 0-63), and the check result of
// the all-zero word.  Built once from the check itself.
unsigned short column[64];
unsigned short zero_check;
bool built;

unsigned short check(std::uint64_t w)
{
    mpt1327_t s = {{(unsigned short)(w >> 48), (unsigned short)(w >> 32), (unsigned short)(w >> 16),
                    (unsigned short)w},
                   0, 0};
    return mpt1327_fcs(&s);
}

void build()
{
    zero_check = check(0);
    for (int i = 0; i < 64; i++)
        column[i] = (unsigned short)(check(1ULL << (63 - i)) ^ zero_check);
    built = true;
}

// Gauss-Jordan elimination of 16-bit columns: each basis vector has a
// pivot bit no other has, and the mask of the chosen columns it is made of.
struct basis_t {
    unsigned short v[16], mask[16];
    int pivot[16];
    int n = 0;
    // Reduce x by the basis; the chosen columns it is made of in *mask.
    unsigned short reduce(unsigned short x, unsigned short* mask_out) const
    {
        unsigned short m = 0;
        for (int k = 0; k < n; k++)
            if (x >> pivot[k] & 1) {
                x ^= v[k];
                m ^= mask[k];
            }
        *mask_out = m;
        return x;
    }
    // Add column x as chosen column number n, if independent.
    bool add(unsigned short x)
    {
        unsigned short m;
        x = reduce(x, &m);
        if (x == 0)
            return false;
        m ^= (unsigned short)(1u << n);
        int p = 31 - __builtin_clz(x);
        for (int k = 0; k < n; k++)
            if (v[k] >> p & 1) {
                v[k] ^= x;
                mask[k] ^= m;
            }
        v[n] = x;
        mask[n] = m;
        pivot[n] = p;
        n++;
        return true;
    }
};

inline double softplus_neg(double a)  // ln(1 + e^-a)
{
    return a > 0 ? std::log1p(std::exp(-a)) : -a + std::log1p(std::exp(a));
}

// The least weight n flips (n <= 6) among the bits in allowed (bit i for
// bit i + 1) can have, two neighbours weighing as the surer one alone (see
// pair_credit in soft_decode): at least the k lightest pairs of neighbours
// and the n - 2k lightest single bits, for the best k.
double least_weight(const float rel[64], std::uint64_t allowed, int n)
{
    float single[6], pair[3];
    for (float& x : single)
        x = INFINITY;
    for (float& x : pair)
        x = INFINITY;
    for (int i = 0; i < 64; i++) {
        if (!(allowed >> i & 1))
            continue;
        float r = rel[i];
        for (int k = 0; k < n && r < INFINITY; k++)
            if (r < single[k])
                std::swap(r, single[k]);
        if (i < 63 && (allowed >> (i + 1) & 1)) {
            float q = rel[i] > rel[i + 1] ? rel[i] : rel[i + 1];
            for (int k = 0; k < 3 && q < INFINITY; k++)
                if (q < pair[k])
                    std::swap(q, pair[k]);
        }
    }
    double least = INFINITY;
    for (int k = 0; 2 * k <= n; k++) {
        double w = 0;
        for (int j = 0; j < k; j++)
            w += pair[j];
        for (int j = 0; j < n - 2 * k; j++)
            w += single[j];
        least = w < least ? w : least;
    }
    return least;
}

}  // namespace

double soft_logaddexp(double a, double b)
{
    if (a < b)
        std::swap(a, b);
    if (b == -INFINITY)
        return a;
    return a + std::log1p(std::exp(b - a));
}

double soft_lambda(const float llr[64], std::uint64_t word)
{
    double sum = 0;
    for (int i = 0; i < 64; i++) {
        double x = (word >> (63 - i) & 1) ? llr[i] : -llr[i];
        sum += SOFT_LN2 - softplus_neg(x);
    }
    return sum;
}

std::uint64_t soft_fill_check(std::uint64_t word, int first, int last)
{
    if (!built)
        build();
    basis_t b;
    int chosen[16];
    for (int i = first - 1; i < last && b.n < 16; i++)
        if (b.add(column[i]))
            chosen[b.n - 1] = i;
    for (int i = first - 1; i < last; i++)
        word &= ~(1ULL << (63 - i));
    unsigned short m;
    if (b.reduce(check(word), &m) != 0)
        return 0;
    for (int k = 0; k < b.n; k++)
        if (m >> k & 1)
            word ^= 1ULL << (63 - chosen[k]);
    return check(word) == 0 ? word : 0;
}

void soft_decode(const float llr[64], soft_word_t* out)
{
    if (!built)
        build();
    // Hard decisions, reliabilities and the order of the bits by reliability.
    std::uint64_t hard = 0;
    float rel[64];
    int order[64];
    double lambda_hard = 0;  // lambda of the hard decisions themselves
    for (int i = 0; i < 64; i++) {
        hard = hard << 1 | (llr[i] > 0 ? 1u : 0u);
        rel[i] = std::fabs(llr[i]);
        order[i] = i;
        lambda_hard += SOFT_LN2 - softplus_neg(rel[i]);
    }
    // A clean codeword needs no search: where the hard decisions pass the
    // check, every other codeword differs from them in 6 bits at least and
    // costs at least the 6 smallest |llr| (two neighbours weighing as the
    // surer one alone, see least_weight); all 2^48 of them together weigh
    // at most 2^48 times that.  Where even that bound leaves the word above
    // the threshold, it is the answer, and the bound its competitors.
    if (check(hard) == 0) {
        double six = least_weight(rel, ~0ULL, 6);
        double bound = lambda_hard - six + 48 * SOFT_LN2;
        if (lambda_hard - bound >= soft_threshold) {
            *out = soft_word_t{hard, lambda_hard, bound, bound, 0};
            return;
        }
    }
    std::sort(order, order + 64, [&](int a, int b) { return rel[a] < rel[b] || (rel[a] == rel[b] && a < b); });

    // The least reliable basis; the MRB columns as masks of its bits.
    basis_t b;
    int lrb[16], mrb[48], nm = 0;
    unsigned short mrb_mask[48];
    for (int k = 0; k < 64; k++) {
        int i = order[k];
        if (b.n < 16 && b.add(column[i])) {
            lrb[b.n - 1] = i;
        } else {
            unsigned short m;
            b.reduce(column[i], &m);
            mrb[nm] = i;
            mrb_mask[nm++] = m;
        }
    }
    // The weight of a set of basis bits, a byte at a time.
    float lo[256], hi[256];
    for (int v = 0; v < 256; v++) {
        float sl = 0, sh = 0;
        for (int k = 0; k < 8; k++)
            if (v >> k & 1) {
                sl += rel[lrb[k]];
                sh += rel[lrb[k + 8]];
            }
        lo[v] = sl;
        hi[v] = sh;
    }
    // The basis bits as places in the window (bit i of the word for bit
    // i + 1), for the pairs of neighbouring flips.
    std::uint64_t lo_at[256], hi_at[256];
    for (int v = 0; v < 256; v++) {
        lo_at[v] = hi_at[v] = 0;
        for (int k = 0; k < 8; k++)
            if (v >> k & 1) {
                lo_at[v] |= 1ULL << lrb[k];
                hi_at[v] |= 1ULL << lrb[k + 8];
            }
    }
    // A data bit is the XOR of two neighbouring symbols (coherent.cpp), and
    // one symbol received wrong turns the two bits around it: both wrong,
    // each about as unsure as the symbol, a single error that costs its
    // |llr| once, where the sum of the bits' |llr| counts it twice.  So
    // each pair of neighbouring flips (taken from the first, apart) weighs
    // as the surer of its two bits alone: the credit below is the less
    // sure one's |llr|.  Counted twice, a symbol received wrong with |llr|
    // 8 made the codeword sent look e^8 less likely than it was, and a
    // codeword 6 bits from it was taken with a margin of 12.
    auto pair_credit = [&](std::uint64_t flips) {
        double credit = 0;
        for (std::uint64_t pairs = flips & flips >> 1; pairs; pairs &= pairs - 1) {
            int i = __builtin_ctzll(pairs);
            credit += rel[i] < rel[i + 1] ? rel[i] : rel[i + 1];
            pairs &= ~(2ULL << i);  // bit i + 1 is spent
        }
        return credit;
    };
    // check(hard ^ e) = check(hard) ^ the columns of the flips e: the
    // flips' columns must add up to check(hard).
    unsigned short base;
    b.reduce(check(hard), &base);

    // Order soft_order first; one more where the bound of the codewords it
    // could not see is all that holds a word back.
    for (int order = soft_order;; order++) {
        // Every candidate by the weight of its flips: the best one, and the
        // sum of e^-weight over the others, relative to the best.
        double best = INFINITY, sum = 0;
        int best_mrb[3] = {-1, -1, -1};
        unsigned short best_mask = 0;
        auto consider = [&](double w, int a, int c, int d, unsigned short m) {
            if (w < best) {
                sum = best == INFINITY ? 0 : (sum + 1) * std::exp(w - best);
                best = w;
                best_mrb[0] = a;
                best_mrb[1] = c;
                best_mrb[2] = d;
                best_mask = m;
            } else if (w - best < 40) {
                sum += std::exp(best - w);
            }
        };
        auto weight = [&](unsigned short m, std::uint64_t at) {
            return lo[m & 0xff] + hi[m >> 8] - pair_credit(at | lo_at[m & 0xff] | hi_at[m >> 8]);
        };
        consider(weight(base, 0), -1, -1, -1, base);
        for (int a = 0; a < 48; a++) {
            unsigned short ma = base ^ mrb_mask[a];
            double wa = rel[mrb[a]];
            std::uint64_t at_a = 1ULL << mrb[a];
            consider(wa + weight(ma, at_a), a, -1, -1, ma);
            if (order < 2)
                continue;
            for (int c = a + 1; c < 48; c++) {
                unsigned short mc = ma ^ mrb_mask[c];
                double wc = wa + rel[mrb[c]];
                std::uint64_t at_c = at_a | 1ULL << mrb[c];
                consider(wc + weight(mc, at_c), a, c, -1, mc);
                if (order < 3)
                    continue;
                for (int d = c + 1; d < 48; d++) {
                    unsigned short md = mc ^ mrb_mask[d];
                    consider(wc + rel[mrb[d]] + weight(md, at_c | 1ULL << mrb[d]), a, c, d, md);
                }
            }
        }
        std::uint64_t word = hard;
        int flips = 0;
        for (int k = 0; k < 16; k++)
            if (best_mask >> k & 1) {
                word ^= 1ULL << (63 - lrb[k]);
                flips++;
            }
        for (int a : best_mrb)
            if (a >= 0) {
                word ^= 1ULL << (63 - mrb[a]);
                flips++;
            }
        // Not searched: order + 1 flips on the MRB at least, each counted
        // whole.  With neighbours among them weighing as one (least_weight)
        // the bound would be about a flip lighter: at -3 dB it held back a
        // third of the codewords taken and moved the 50 % point 0.7 dB.
        // With this one the sensitivity sweep (10 000 slots a point, five
        // channels) gave no codeword never sent in 2 650 000 slots, the 50 %
        // point 0.14-0.16 dB later and the 99 % point 0.5 dB earlier than
        // with the sum over single bits.
        double unseen = 0;
        for (int k = 0; k <= order && k < 48; k++)
            unseen += rel[mrb[k]];
        double others = sum > 0 ? std::log(sum) - best : -INFINITY;  // relative to lambda_hard
        out->found = lambda_hard + others;
        others = soft_logaddexp(others, -unseen);
        out->word = word;
        out->lambda = lambda_hard - best;
        out->others = lambda_hard + others;
        out->flips = flips;
        if (order >= 3 || out->lambda - out->found < soft_threshold || out->lambda - out->others >= soft_threshold)
            break;
    }
}
