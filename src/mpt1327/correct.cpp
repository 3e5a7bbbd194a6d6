// Error correction and re-framing, CORRECT=1.
//
// The codeword is the (63,48) cyclic code of the check (fcs.cpp) extended
// by the overall parity bit.  Its minimum distance is 6: no pattern of one
// to five bit errors turns one codeword into another, and every pattern of
// one or two errors has a syndrome (check result) of its own; the parity
// tells them apart (one error: odd, two: even).  Correcting t errors turns
// a received word into a wrong codeword once 6 - t or more bits are wrong:
// 5 for t = 1, 4 for t = 2.  A weak signal produces such patterns (the bit
// timing slips a bit now and then, and the bits after a slip are half
// wrong), and random bits lie within two bits of some codeword once in
// thirty.  So correction is allowed only where the slot structure of the
// control channel supplies the missing certainty:
//
// 1. System codewords.  A system codeword has bit 1 = 0, the identity SYS
//    in bits 2-16, the preamble 0xAAAA in bits 33-48 and a sync word in
//    bits 49-64; bits 17-32 are then fixed by the check (no two settings of
//    them give the same check bits).  So a system has exactly two system
//    codewords, one per sync word, and once its identity is known from an
//    error-free one, a system codeword of it is recognised rather than
//    corrected: the register is compared with the two, and the result is
//    by construction the codeword the site sends.  The danger is only to
//    take something else for it, so it is recognised only:
//    - with at most 4 differing bits where the sync word was matched bit
//      for bit while hunting, and at most 6 where the next slot is expected
//      (rule 2), after allowing for one bit lost or added inside bits 1-48
//      (a slip of the bit timing);
//    - unless the register lies within two bits of another codeword: that
//      one was more likely sent (another system's, at least 6 bits from
//      ours, is then never taken for ours below 3 errors).
//    Random bits pass with a chance of about 5 * 10^-9 per expected slot
//    (a few hundred slip and place hypotheses, each 2^-64 times the 10^8
//    patterns of up to 6 bits) and 10^-7 per false sync word, which noise
//    gives once in half a minute.
//    A new identity is only ever taken from an error-free system codeword.
//
// 2. Slots.  The next system codeword ends 128 bits after the previous one;
//    it is looked for there, 2 bits early or late allowed for slips, and
//    found there even with errors in its sync word.  Up to 8 missed slots
//    (a second) are coasted over; then only sync words are hunted again.
//
// 3. Address codewords.  A window is placed when its system codeword was
//    accepted after a sync word or in the exact place of its slot (or
//    where it began in its place and slipped inside, below), aligned when
//    that system codeword also had at most two errors and none in its last
//    8 bits, and clean when it came without any error: the bit timing, and
//    for a clean window the signal too, were sound just before the address
//    codeword.  A slip near the end of the system codeword moves the window
//    and shows there, as differences in its sync word; errors in its
//    earlier bits leave the window where it is.  What the demodulator knew
//    of each bit besides its value helps too: how its nine sample decisions
//    split (a bit split 7:2 or closer is weak, 6:3 or closer doubtful, 5:4
//    split), and how far the bit timing moved after it, which way (its
//    farthest: 3 samples).  Near the limit of reception one bit in twelve
//    is doubtful and one in thirty split, and nearly all the bits that go
//    wrong are doubtful.
//
//    The danger that shapes these rules is a window read one bit out of
//    place.  The check's cyclic code turns a codeword shifted by one bit
//    into another of its codewords, and only the inverted last check bit
//    and the parity differ: a codeword read a bit late or early lies within
//    one or two bits of another codeword, where one bit error, or one
//    correction, makes it pass.  The neighbours of a codeword read in place
//    never pass the check themselves.
//
//    - An error-free address codeword in a clean window is reported at
//      once, as without correction, unless the window read one bit earlier
//      lies within a bit of a codeword (one codeword in four), or the bit
//      timing moved 5 samples or more one way over the last 8 bits of the
//      window's system codeword and the first 2 of the window: then, and
//      in every other case, it is held for the next system codeword.  A
//      codeword that fails the check is held only when its window's system
//      codeword was accepted, for a slip; else it is dropped at once.
//    - A bit read twice (skipped) in the run of 1s where a system codeword
//      ends and an address codeword begins does not show, puts the window
//      a bit early (late), and the next slot then comes a bit late
//      (early); one bit error makes the window pass as another codeword.
//      Near the limit of reception most codewords that were never sent and
//      came at once came so.  A codeword held for the timing's moves at its
//      start is taken when the next system codeword comes in its place,
//      unless the timing moved back as far over the last 6 bits of the
//      window and the first 6 of the next system codeword (two slips that
//      cancel), and dropped when that comes early or late, or not at all
//      (nothing then clears the slip; when the input ends, it is reported
//      as every error-free codeword still held).  This holds one
//      clean codeword in 5 at 3 dB and one in 100 at 6.5 dB, and drops one
//      clean codeword in 25 at 3 dB and one in 2500 at 6.5 dB.
//    - A codeword held is reported just before the next system codeword's
//      reports, 64 bits (53 ms) late, when that one confirms it as follows;
//      else it is dropped.  A codeword that passes the check, or is
//      corrected, never when the window read one bit earlier or later
//      passes the check, except for one error between two error-free
//      system codewords in their places (below).
//    - Never either where another codeword explains the window as well:
//      . read with two slips of the bit timing the opposite ways, each
//        within a bit of where the timing moved its farthest that way (or,
//        in a window that was not aligned, one of them at its first bit),
//        with at most one error besides on a doubtful bit.  Two slips that
//        cancel leave the next system codeword in its place and the bits
//        between them read a bit out of place, nearly another codeword;
//        at the limit of reception this is how most wrong codewords came.
//      . flipping doubtful bits, and at most one more next to one: a wrong
//        codeword needs five or six wrong bits, and where the signal is
//        poor those are doubtful ones.  With more than 12 doubtful bits
//        nothing is taken.
//      . read a bit late (or early) between two slips hidden at its
//        edges.  A system codeword ends in 1s and an address codeword
//        begins with a 1, and a system codeword begins with 0s: a bit
//        skipped (read twice) at the start of the window and one read
//        twice (skipped) at its end leave both system codewords whole and
//        the window a bit out of place, one or two errors from another
//        codeword.  Where the timing moved later (earlier) by 4 samples
//        or more over the last 8 bits of the window's system codeword and
//        the first 2 of the window, the other way as far over the last 6
//        of the window and the first 6 of the next system codeword, and
//        the window read a bit earlier (later) lies within two bits of a
//        codeword, it is not taken; where the timing moved 5 samples or
//        more both ways, whatever that window is.  Checked only when the
//        next system codeword is in its place: nearly all the codewords
//        taken that were never sent came so, between 2 and 6 dB, and this
//        refuses half of them and one in 200 of the codewords taken there.
//      . read a bit late (early) after the timing moved 8 samples or more
//        later (earlier) over the last 8 bits of the window's system
//        codeword and its first 2, or earlier (later) over the window's
//        last 6 bits and the next system codeword's first 6 (with that in
//        its place, a bit read twice there needs one skipped before it),
//        where the window so read lies within a bit of a codeword.  Near
//        the limit of reception a third of the codewords taken in place
//        that were never sent came so; this refuses about one held
//        codeword in 1000 between 4.5 and 6.5 dB.
//      The first is an error-free address codeword in a clean window held
//      too, not reported at once.
//    - In its exact place: the next system codeword ends where the slot
//      is due, or it ends one bit early or late but began in its place:
//      it reads as the system codeword with one bit lost or added inside
//      its bits 1-48 and no other difference (one, where read whole a bit
//      out of place it differs in five bits or more), while read whole a
//      bit out of place it differs in three or more.  The slip came after
//      the address codeword, which was in place: had the window been a bit
//      out of place, the next system codeword would read whole, a bit
//      early or late, and differ from that in few bits.  Read that way the
//      system codeword counts one error, the slip.
//    - Error-free: the next system codeword is accepted in its exact place,
//      and, in a window that was not aligned, at most 8 bits were doubtful.
//      This covers what the check alone lets through, one random word in
//      65536, after a false sync word in noise, in a burst of errors or
//      after a slip, where many bits are doubtful.
//    - One error (odd parity, the syndrome of one bit), the next system
//      codeword in its exact place: without an error, and either the window
//      was aligned (no slip happened inside the address codeword and the
//      signal stayed sound after it) and the bit to be corrected doubtful,
//      or the window was aligned, the bit weak and at most 6 doubtful, or
//      the bit was split and at most 4 of the 64 were; or with one
//      error, after an aligned window, the bit doubtful and at most 8
//      doubtful.  A wrong single correction needs five wrong bits, then one
//      odd syndrome in 512, and the one bit it names must also be doubtful
//      by chance, at most once in 5 (12 doubtful bits, more are refused),
//      or weak, about once in 5 where at most 6 bits are doubtful (about
//      12 of the 64 are weak then).
//      Between an aligned window and an error-free system codeword in its
//      place a window read a bit out of place needs a slip at each end,
//      which the first check above looks for: there the window read a bit
//      earlier or later is not asked (one error in bit 63 makes the window
//      read a bit later pass).
//    - Two errors (even parity, the syndrome of two bits): both bits to be
//      corrected were doubtful, at most 6 of the 64 were, and the next
//      system codeword comes without an error in its exact place.  Four
//      wrong bits suffice for a wrong codeword (one pattern of four errors
//      in ten lies within two bits of another codeword), but the two bits
//      such a correction flips are not those that went wrong: both are
//      doubtful by chance at most once in 100.  Where the signal is so
//      poor that more bits are doubtful, two errors are not corrected.
//    - A slip: noise can pull the bit timing so far that it reads one bit
//      twice or skips one, and every bit after that is out of place.  This
//      is most of what is lost near the limit of reception.  When the next
//      system codeword comes exactly one bit late (a bit read twice) or
//      early (a bit skipped), a codeword held with at most 8 doubtful bits
//      is rebuilt with the bit taken out, or put back as 0 and as 1, at
//      every place, and it is taken when exactly one rebuilt word passes
//      the check and it was rebuilt where the slip shows (a codeword that
//      passes the check as it stands is never rebuilt: it would be one of
//      two candidates):
//      . within one bit of where the timing moved its farthest that way, in
//        bits 1 to 63 of a window with at most three such moves (at most 9
//        places), for a codeword that does not pass the check as it stands
//        (after a clean window also one whose check names one or two
//        errors, as a slip near its end does) and a next system codeword
//        without any error (or with one, after a clean window);
//      . or, for a codeword that fails the check in a placed window and the
//        same next system codeword, where the timing's moves over the bit
//        and the 4 on each side add up to 4 samples or more that way (moves
//        the other way counted against): a slip builds up over a few bits,
//        mostly in moves short of the farthest;
//      . or in its first two bits, the window itself a bit out of place:
//        the window was placed but not aligned and the next system codeword
//        came without an error.  A slip near the end of the window's system
//        codeword shows in its sync word and moves the window, and the next
//        slot then comes a bit early or late.  A codeword read in its place
//        does not pass the check read a bit out of place (above): that
//        takes errors besides.
//      Where the timing moved 6 samples or more either way over the last
//      8 bits of the window's system codeword and its first 2, a slip there
//      may have put the whole window out of place, and a word rebuilt
//      farther in is then that window read a bit out of place: only a word
//      rebuilt at the window's first two bits is taken.  Near the limit of
//      reception most rebuilt codewords that were never sent came so; this
//      refuses one rebuilt codeword in 100 at 6 dB, none at 6.5.
//      A rebuilt word that is not the codeword sent passes the check once
//      in 65536 (once in 32768 when the parity chose the bit put back), and
//      rebuilt within 4 bits of where the slip was, with no error besides,
//      it differs from the codeword sent in at most 5 bits and never
//      passes.  A slip with errors besides it is taken for another codeword
//      at the farthest moves once in 3600 at most, and only where the
//      signal is sound on both sides of it.  Where the moves add up, more
//      places count; in a window that was not placed that let through
//      three codewords that were never sent in 3.3 million slots near and
//      below the limit of reception, in placed windows none.
//
// 4. Re-framing.  A sync word inside a window whose system codeword was not
//    accepted (up to its 64th bit) means that the window was opened by a
//    false sync word: bits of the codeword before, or of noise, that read
//    as one.  When the 64 bits ending in the new sync word are an accepted
//    system codeword, the false window is dropped and a new one opens
//    there.  A window opened by an accepted system codeword is never
//    re-framed.
//
// A corrected codeword is reported exactly as an error-free one: the
// register holds the corrected bits.  Counting: every framing point is a
// sync (also one found by rule 2 or by re-framing); a codeword reported
// counts as passed, and also as corrected when bits were changed or
// rebuilt; an address codeword held and not confirmed counts as failed; a
// dropped false window counts nothing beyond its system codeword, which
// failed.
#include "correct.h"

#include <cstdint>

#include "fields.h"
#include "mpt1327/decoder.h"

namespace {

// Differences allowed in a system codeword of the current system: after a
// sync word matched while hunting, and where the next slot is expected.
const int SYSTEM_ERRORS_AT_SYNC = 4;
const int SYSTEM_ERRORS_IN_SLOT = 6;
const int SLOT_BITS = 128;
const int SLIP_BITS = 2;       // a slot may end this many bits early or late
const int SLOTS_COASTED = 8;   // slots missed before hunting only by sync words
const int NO_SLOT = -100;      // the slot passed without a system codeword
const int SLIP_LAST_BIT = 63;  // the last bit where a slip is rebuilt (64: the parity alone)
const int SLIP_MOVES = 3;      // farthest timing moves allowed in a rebuilt window
const int SLIP_SPAN = 4;       // or the timing's moves over a slip's bit and SLIP_SPAN each side ...
const int SLIP_SAMPLES = 4;    // ... add up to this many samples
const int WINDOW_MOVED_BITS = 2;  // a window out of place: rebuilt in its first bits
const int SPLIT_MAX = 4;       // split bits allowed in a codeword corrected by one
const int DOUBTFUL_MAX = 8;      // doubtful bits allowed in a codeword held or rebuilt
const int DOUBTFUL_TWO_MAX = 6;  // ... in a codeword corrected by two
const int ALIGNED_ERRORS = 2;    // errors of an aligned window's system codeword, ...
const std::uint64_t TAIL_BITS = 0xff;  // ... none of them in its last 8 bits

// Syndrome (check result) -> error pattern: bit numbers (1-64) of one or
// two errors packed as first | second << 8, 0 when none.  single[n] is the
// syndrome of an error in bit n alone.  Built once.
unsigned short error_of[65536];
unsigned short single[65];
bool built;

// The two system codewords (control and data channel sync words) of template_sys.
std::uint64_t templates[2];
unsigned short template_sys = 0xffff;

// The window: whether its system codeword was placed and clean.  While
// hunting for the next slot (nbits counts from the end of the window, the
// slot is due at 64 and every 128 bits after): the slots still coasted, and
// the address codeword held for confirmation.
bool window_placed, window_clean, window_aligned;
bool tail_differs;  // the system codeword accepted last differed in its last 8 bits
int bit_before;  // the last bit of the window's system codeword
bit_soft_t system_soft;  // of the bits of the window's system codeword (also a held
                         // codeword's: it is settled before the next window opens)
int coast;
struct held_t {
    bool on;
    int errors;            // as the check names them: 0 to 2, -1 for more
    int bits[2];           // the bits to correct
    unsigned short cw[4];  // as received
    bit_soft_t soft;       // of its bits
    bool clean, aligned, placed;  // its window's
    int bit_before;        // the bit before it
    int next_bit;          // the bit after it, -1 until it came
    int start_moved;       // error-free and clean, held for the timing's moves at its start
} held;

// One decoder's (decoder.h); the tables above are built once and shared.
decoder_var(templates);
decoder_var(template_sys);
decoder_var(window_placed);
decoder_var(window_clean);
decoder_var(window_aligned);
decoder_var(tail_differs);
decoder_var(bit_before);
decoder_var(system_soft);
decoder_var(coast);
decoder_var(held);

std::uint64_t pack(const unsigned short cw[4])
{
    return (std::uint64_t)cw[0] << 48 | (std::uint64_t)cw[1] << 32 | (std::uint64_t)cw[2] << 16 | cw[3];
}

void unpack(std::uint64_t v, unsigned short cw[4])
{
    for (int w = 0; w < 4; w++)
        cw[w] = (unsigned short)(v >> (48 - 16 * w));
}

// The check of the decoder, bit by bit.
unsigned short check_bitwise(const unsigned short cw[4])
{
    mpt1327_t s = {{cw[0], cw[1], cw[2], cw[3]}, 0, 0};
    return mpt1327_fcs(&s);
}

// The same a byte at a time, from the syndromes of single bits: the
// correction checks a few words per codeword, a rebuilt slip 128.
unsigned short check_base;
unsigned short byte_syndrome[8][256];

void build();

unsigned short check64(std::uint64_t v)
{
    if (!built)
        build();
    unsigned short r = check_base;
    for (int k = 0; k < 8; k++)
        r ^= byte_syndrome[k][v >> (56 - 8 * k) & 0xff];
    return r;
}

unsigned short check_of(const unsigned short cw[4])
{
    return check64(pack(cw));
}

void flip(unsigned short cw[4], int bit)
{
    cw[(bit - 1) / 16] ^= (unsigned short)(1u << (15 - (bit - 1) % 16));
}

void build()
{
    // The check is affine in the bits: check(c ^ e) = check(c) ^ check(e)
    // ^ check(0), and 0 for a codeword c, so the syndrome of an error
    // pattern e is check(e) ^ check(0).
    unsigned short zero[4] = {0, 0, 0, 0};
    check_base = check_bitwise(zero);
    for (int i = 1; i <= 64; i++) {
        unsigned short e[4] = {0, 0, 0, 0};
        flip(e, i);
        single[i] = (unsigned short)(check_bitwise(e) ^ check_base);
        error_of[single[i]] = (unsigned short)i;
    }
    for (int k = 0; k < 8; k++)
        for (int b = 0; b < 256; b++)
            for (int i = 0; i < 8; i++)
                if (b >> (7 - i) & 1)
                    byte_syndrome[k][b] ^= single[8 * k + i + 1];
    for (int i = 1; i <= 64; i++)
        for (int j = i + 1; j <= 64; j++)
            error_of[single[i] ^ single[j]] = (unsigned short)(i | j << 8);
    built = true;
}

// The system codewords of currentsys with the first pair of sync words in
// force (SYNC=2 recognises only the standard pair; a French system codeword
// then needs to be error-free): bits 17-32 found by running through all
// 65536 values in Gray code order, one syndrome change per step.
sync_pair_t template_words;  // the sync words templates were made with
decoder_var(template_words);

void make_templates()
{
    if (template_sys == currentsys && template_words.control == sync_words[0].control &&
        template_words.data == sync_words[0].data)
        return;
    template_sys = currentsys;
    template_words = sync_words[0];
    for (int t = 0; t < 2; t++) {
        unsigned short cw[4] = {(unsigned short)(currentsys & 0x7fff), 0, 0xAAAA,
                                t ? template_words.data : template_words.control};
        unsigned short syndrome = check_of(cw);
        templates[t] = 0;
        for (unsigned g = 0; g < 65536; g++) {
            if (syndrome == 0) {
                cw[1] = (unsigned short)(g ^ g >> 1);
                templates[t] = pack(cw);
                break;
            }
            syndrome ^= single[32 - __builtin_ctz(g + 1)];  // the bit that changes next
        }
    }
}

// Codeword bits first..last (bit 1 the most significant) of a 64-bit value.
std::uint64_t bit_range(int first, int last)
{
    if (first > last)
        return 0;
    return (~0ULL >> (first - 1)) & (~0ULL << (64 - last));
}

// Bits of the register r that differ from the system codeword t ending at
// its last bit, with one bit of t lost (lost) or one bit added inside bits
// 1-48, at the place where they differ least.
int slip_differences(std::uint64_t r, std::uint64_t t, bool lost)
{
    std::uint64_t aligned = r ^ t, shifted = lost ? (r << 1) ^ t : (r >> 1) ^ t;
    int best = 64;
    for (int j = 1; j <= 48; j++) {
        // t's bit j lost: r's bits 2..j are t's 1..j-1; a bit added after
        // t's bit j: r's bits 1..j-1 are t's 2..j.
        std::uint64_t before = shifted & (lost ? bit_range(1, j - 1) : bit_range(2, j));
        int d = __builtin_popcountll(before | (aligned & bit_range(j + 1, 64)));
        best = d < best ? d : best;
    }
    return best;
}

// Bits of the register r that differ from the system codeword t ending at
// the last bit of r: as it stands, or with one bit of t lost or one bit
// added in bits 1-48 (a slip), whichever differs least.  A slip alone
// counts as one difference.  The sync word stays in place, so that a
// codeword one bit early or late does not pass for a slip.
int template_errors(std::uint64_t r, std::uint64_t t)
{
    int best = __builtin_popcountll(r ^ t);
    if (best <= 1)
        return best;  // a slip counts one at least
    int e = slip_differences(r, t, true), a = slip_differences(r, t, false);
    best = e < best ? e : best;
    best = a < best ? a : best;
    return best > 0 || r == t ? best : 1;
}

// Whether a system codeword accepted one bit early or late (r as
// received, t as accepted) began in its place and slipped inside (rule 3):
// r reads as t with one bit lost (early) or added (late) in bits 1-48 and
// no other difference, or one where r read whole a bit out of place
// differs in five bits or more, and in any case in three or more.
bool began_in_place(std::uint64_t r, std::uint64_t t, int early)
{
    const int SHIFTED_AT_LEAST = 3, SHIFTED_FOR_ONE_MORE = 5;
    int shifted = __builtin_popcountll(r ^ t);
    if ((early != 1 && early != -1) || shifted < SHIFTED_AT_LEAST)
        return false;
    return slip_differences(r, t, early == 1) <= (shifted >= SHIFTED_FOR_ONE_MORE ? 1 : 0);
}

// Rule 1: the differences of the register from an accepted system
// codeword, now in the register, or -1.  sync_seen: the register ends in a
// sync word matched bit for bit while hunting.
int accept_system(mpt1327_t* state, bool sync_seen)
{
    unsigned short* cw = state->cw;
    int bits[2];
    int n = sync_seen ? correct_pattern(cw, bits) : -1;
    tail_differs = false;
    if (n == 0)
        return 0;  // error-free after a sync word: as without correction
    if (currentsys == 0xffff)
        return -1;
    make_templates();
    // The sync words are each other's complement: the nearer one is the
    // template, and its differences there bound all the others from below.
    int limit = sync_seen ? SYSTEM_ERRORS_AT_SYNC : SYSTEM_ERRORS_IN_SLOT;
    int t = __builtin_popcount((unsigned short)(cw[3] ^ templates[1])) < 8 ? 1 : 0;
    if (templates[t] == 0 || __builtin_popcount((unsigned short)(cw[3] ^ templates[t])) > (sync_seen ? 0 : limit))
        return -1;
    std::uint64_t r = pack(cw);
    int errors = template_errors(r, templates[t]);
    if (errors > limit)
        return -1;
    tail_differs = ((r ^ templates[t]) & TAIL_BITS) != 0;
    if (!sync_seen)
        n = correct_pattern(cw, bits);
    if (n >= 0) {
        unsigned short c[4] = {cw[0], cw[1], cw[2], cw[3]};
        for (int k = 0; k < n; k++)
            flip(c, bits[k]);
        if (pack(c) != templates[t])
            return -1;  // nearer another codeword
    }
    unpack(templates[t], cw);
    if (errors > 0)
        decode_counts.corrected++;
    return errors;
}

// A framing point: the register holds a system codeword, accepted when
// errors >= 0.
void open_window(mpt1327_t* state, int errors, bool placed)
{
    decode_counts.syncs++;
    if (errors >= 0) {
        decode_counts.passed++;
        framing_system(state);
    } else {
        decode_counts.failed++;
    }
    bit_before = state->cw[3] & 1;
    system_soft = bit_soft;
    window_placed = errors >= 0 && placed;
    window_clean = window_placed && errors == 0;
    window_aligned = window_placed && errors <= ALIGNED_ERRORS && !tail_differs;
    state->framing = errors >= 0 ? 1 : FRAMING_CORRECT_REFRAMING;
    state->nbits = 0;
}

bool bit_set(std::uint64_t mask, int bit)
{
    return mask >> (64 - bit) & 1;
}

// The 64 bits of a window read one bit earlier (the bit before it first),
// or one bit later (the bit after it last).
std::uint64_t read_earlier(std::uint64_t r, int before)
{
    return (std::uint64_t)before << 63 | r >> 1;
}
std::uint64_t read_later(std::uint64_t r, int after)
{
    return r << 1 | (std::uint64_t)after;
}

// The bit (1-64) a syndrome names as the only error, or 0 (none, or two).
int one_error(unsigned short syndrome)
{
    unsigned short e = error_of[syndrome];
    return e >> 8 == 0 ? e : 0;
}

// The bits of mask and those next to them.
std::uint64_t within_a_bit(std::uint64_t mask)
{
    return mask | mask << 1 | mask >> 1;
}

// The bits after which the bit timing moved its farthest one way (earlier
// or later of bit_soft_t), and the samples it moved that way over the bits
// of mask.
std::uint64_t farthest(const std::uint64_t moved[2])
{
    return moved[0] & moved[1];
}
int samples_moved(const std::uint64_t moved[2], std::uint64_t mask)
{
    return __builtin_popcountll(moved[0] & mask) + 2 * __builtin_popcountll(moved[1] & mask);
}

// Whether v lies within one bit of a codeword.
bool near(std::uint64_t v)
{
    unsigned short syndrome = check64(v);
    return syndrome == 0 || one_error(syndrome) != 0;
}

// Whether the window may have been read a bit out of place: the 64 bits
// one bit earlier, or one bit later once that bit has come, pass the check.
bool out_of_place(const unsigned short cw[4], int before, int after)
{
    std::uint64_t r = pack(cw);
    return check64(read_earlier(r, before)) == 0 || (after >= 0 && check64(read_later(r, after)) == 0);
}

// Whether the window read a bit earlier lies within a bit of a codeword.
bool near_when_read_late(const unsigned short cw[4])
{
    return near(read_earlier(pack(cw), bit_before));
}

// The window r read with a bit put back (as value) before bit at (65:
// after the last) and bit gone taken out: the bit timing having skipped
// one bit and read another twice.
std::uint64_t rebuilt_twice(std::uint64_t r, int at, int value, int gone)
{
    std::uint64_t w = 0;
    for (int i = 1; i <= 65; i++) {
        if (i == at)
            w = w << 1 | (std::uint64_t)value;
        if (i != gone && i <= 64)
            w = w << 1 | (r >> (64 - i) & 1);
    }
    return w;
}

// Whether another codeword than word comes out when the window r is read
// as if the bit timing had slipped twice, the opposite ways, within a bit
// of where it moved its farthest (with start_unsure also at the first bit:
// the window itself a bit out of place), with at most one error besides
// on a doubtful bit.  Two slips that cancel leave the next system codeword
// in its place and the bits between them read a bit out of place, which
// is nearly another codeword: then word may be that one.
bool two_slips_pass(std::uint64_t r, const bit_soft_t& soft, std::uint64_t word, bool start_unsure)
{
    std::uint64_t start = start_unsure ? 1ULL << 63 : 0;
    std::uint64_t skipped = within_a_bit(farthest(soft.later)) | start;
    std::uint64_t repeated = within_a_bit(farthest(soft.earlier)) | start;
    for (int at = 1; at <= 64; at++) {
        if (!bit_set(skipped, at))
            continue;
        for (int gone = 1; gone <= 64; gone++) {
            if (gone == at || !bit_set(repeated, gone))
                continue;
            // The doubtful bits moved along (the bit put back is not known).
            std::uint64_t doubtful = rebuilt_twice(soft.doubtful, at, 1, gone);
            for (int value = 0; value <= 1; value++) {
                std::uint64_t w = rebuilt_twice(r, at, value, gone);
                unsigned short syndrome = check64(w);
                if (syndrome != 0) {  // or with one error on a doubtful bit
                    int e = one_error(syndrome);
                    if (e == 0 || !bit_set(doubtful, e))
                        continue;
                    w ^= 1ULL << (64 - e);
                }
                if (w != word)
                    return true;
            }
        }
    }
    return false;
}

// The held codeword rebuilt for a slip at bit j: bit j read twice, or
// skipped (put back as 0 and as 1).
void rebuilt(bool repeated, int j, std::uint64_t tries[2])
{
    std::uint64_t r = pack(held.cw);
    for (int value = 0; value <= 1; value++)  // repeated: the bit after the window ends the codeword
        tries[value] = repeated ? rebuilt_twice(r, 65, held.next_bit & 1, j) : rebuilt_twice(r, j, value, 64);
}

// An error-free codeword in a clean window is held, not reported at once,
// where the timing moved this far either way at its start.
const int START_SAMPLES = 5;
enum { MOVED_LATER = 1, MOVED_EARLIER = 2 };
// A slip is rebuilt inside a window only at its first two bits where the
// timing moved this far either way at its start.
const int START_SLIP_SAMPLES = 6;

// How far the bit timing moved later (late) or earlier over the last 8
// bits of the window's system codeword and the first 2 of the window, whose
// bits window holds: a bit skipped (read twice) there hides in the run of
// 1s and leaves the window a bit late (early).
int moved_at_start(bool late, const bit_soft_t& window)
{
    const std::uint64_t* before = late ? system_soft.later : system_soft.earlier;
    const std::uint64_t* first = late ? window.later : window.earlier;
    return samples_moved(before, bit_range(57, 64)) + samples_moved(first, bit_range(1, 2));
}

// ... and the other way over the last 6 bits of the held window and the
// first 6 of the next system codeword (which begins with 0s), whose bits
// next_soft holds: a bit read twice (skipped) there before a next system
// codeword in its place needs one skipped (read twice) before it.
int moved_at_end(bool late, const bit_soft_t& next_soft)
{
    const std::uint64_t* last = late ? held.soft.earlier : held.soft.later;
    const std::uint64_t* next = late ? next_soft.earlier : next_soft.later;
    return samples_moved(last, bit_range(59, 64)) + samples_moved(next, bit_range(1, 6));
}

// The ways the timing moved samples or more, as moved measures them over
// the bits soft holds: MOVED_LATER where that says the window was read a
// bit late, MOVED_EARLIER where early.
int ways_moved(int (*moved)(bool, const bit_soft_t&), const bit_soft_t& soft, int samples)
{
    return (moved(true, soft) >= samples ? MOVED_LATER : 0) | (moved(false, soft) >= samples ? MOVED_EARLIER : 0);
}

// Rule 3, a slip: the held codeword rebuilt after a bit read twice
// (repeated) or skipped, into cw, when the next system codeword came with
// errors a bit late (repeated) or early; false unless exactly one rebuilt
// word passes the check and it was rebuilt where a slip may be taken.
bool rebuild_slip(bool repeated, int errors, unsigned short cw[4])
{
    // A codeword that passes the check as it stands is not rebuilt: a
    // rebuilt word that passes too would be a second candidate.
    if (held.errors == 0)
        return false;
    // A slip inside the address codeword, where the timing shows it ...
    bool inside = (held.errors < 0 || held.clean) && (errors == 0 || (errors == 1 && held.clean));
    // ... or the window itself a bit out of place.
    bool window_moved = held.placed && !held.aligned && errors == 0;
    if ((!inside && !window_moved) || (repeated && held.next_bit < 0))
        return false;
    // Every place is tried, so that a second word that passes is seen.
    std::uint64_t found = 0, places = 0;
    bool any = false;
    for (int j = 1; j <= 64; j++) {
        std::uint64_t tries[2];
        rebuilt(repeated, j, tries);
        for (std::uint64_t t : tries) {
            if (check64(t) != 0)
                continue;
            if (any && t != found)
                return false;
            any = true;
            found = t;
            places |= 1ULL << (64 - j);
        }
    }
    unpack(found, cw);
    if (window_moved && (places & bit_range(1, WINDOW_MOVED_BITS)))
        return true;
    if (!inside)
        return false;
    // A slip at the window's start puts the whole window out of place, and
    // a word rebuilt farther in is that window read a bit out of place.
    if (ways_moved(moved_at_start, held.soft, START_SLIP_SAMPLES) != 0 && !(places & bit_range(1, WINDOW_MOVED_BITS)))
        return false;
    const std::uint64_t* moved = repeated ? held.soft.earlier : held.soft.later;
    const std::uint64_t* against = repeated ? held.soft.later : held.soft.earlier;
    std::uint64_t far = farthest(moved);
    if (__builtin_popcountll(far) <= SLIP_MOVES && (places & within_a_bit(far) & bit_range(1, SLIP_LAST_BIT)))
        return true;
    if (held.errors >= 0 || !held.placed)
        return false;
    for (int j = 1; j <= 64; j++) {
        if (!bit_set(places, j))
            continue;
        std::uint64_t around = bit_range(j > SLIP_SPAN ? j - SLIP_SPAN : 1, j + SLIP_SPAN < 64 ? j + SLIP_SPAN : 64);
        if (samples_moved(moved, around) - samples_moved(against, around) >= SLIP_SAMPLES)
            return true;
    }
    return false;
}

// Whether a codeword other than word lies within the doubtful bits of r:
// some of them flipped, and at most one more bit next to a doubtful one.
// Where it does, the errors may as well have been on those bits, and word
// is not taken.  Every set of doubtful bits is tried (Gray code order, one
// syndrome change a step); more than DOUBTFUL_ALL doubtful bits count as
// such a codeword.
bool another_within_doubt(std::uint64_t r, std::uint64_t doubtful, std::uint64_t word)
{
    const int DOUBTFUL_ALL = 12;
    int at[64], m = 0;
    for (int i = 1; i <= 64; i++)
        if (bit_set(doubtful, i))
            at[m++] = i;
    if (m > DOUBTFUL_ALL)
        return true;
    std::uint64_t one_more = within_a_bit(doubtful);
    unsigned short syndrome = check64(r);
    std::uint64_t flipped = 0;
    for (unsigned g = 0;; g++) {
        int e = one_error(syndrome);
        if (syndrome == 0 || (e != 0 && bit_set(one_more, e))) {
            std::uint64_t c = r ^ flipped ^ (e != 0 ? 1ULL << (64 - e) : 0);
            if (c != word)
                return true;
        }
        if (g + 1 == 1u << m)
            return false;
        int k = __builtin_ctz(g + 1);  // the doubtful bit that changes next
        flipped ^= 1ULL << (64 - at[k]);
        syndrome ^= single[at[k]];
    }
}

// Whether the timing's moves at the held window's edges say it was read a
// bit late (or early), where the window read a bit earlier (later) may be
// the codeword sent; next_soft holds the next system codeword's bits.
// - Two slips hidden in the runs of equal bits at its edges (a system
//   codeword ends in 1s and an address codeword begins with a 1; a system
//   codeword begins with 0s): the timing moved later (earlier) by
//   HIDDEN_SAMPLES or more at its start and the other way as far at its
//   end, and the window read a bit earlier (later) lies within two bits of
//   a codeword; or the moves were START_SAMPLES or more each way, whatever
//   that window is (the errors besides may put it farther from one).
// - A move of FAR_SAMPLES or more at either edge that way, and that window
//   lies within a bit of a codeword.
bool edges_moved(const bit_soft_t& next_soft)
{
    const int HIDDEN_SAMPLES = 4, FAR_SAMPLES = 8;
    std::uint64_t r = pack(held.cw);
    for (bool late : {true, false}) {
        int start = moved_at_start(late, held.soft), end = moved_at_end(late, next_soft);
        int off = 3;  // bits from a codeword, read the other way (3: farther, or not known yet)
        if (late || held.next_bit >= 0) {
            unsigned short syndrome = check64(late ? read_earlier(r, held.bit_before) : read_later(r, held.next_bit));
            off = syndrome == 0 ? 0 : one_error(syndrome) != 0 ? 1 : error_of[syndrome] != 0 ? 2 : 3;
        }
        if ((start >= START_SAMPLES && end >= START_SAMPLES) ||
            (start >= HIDDEN_SAMPLES && end >= HIDDEN_SAMPLES && off <= 2) ||
            ((start >= FAR_SAMPLES || end >= FAR_SAMPLES) && off <= 1))
            return true;
    }
    return false;
}

// Whether the next system codeword, accepted with errors (-1: not at all)
// early bits before its place (-1: a bit late; NO_SLOT: the slot passed
// without one), confirms the codeword held; the codeword to report in cw.
bool confirmed(int errors, int early, unsigned short cw[4])
{
    for (int w = 0; w < 4; w++)
        cw[w] = held.cw[w];
    if (early == NO_SLOT)  // nothing contradicts a codeword held only for caution
        return held.errors == 0 && held.clean && held.start_moved == 0 &&
               !out_of_place(held.cw, held.bit_before, held.next_bit);
    if (errors < 0)
        return false;
    if (held.start_moved != 0) {
        // The window read a bit late (early) brings the next slot a bit
        // early (late), or, in its place, a slip back at its end.
        if (early != 0)
            return false;
        return (held.start_moved & ways_moved(moved_at_end, bit_soft, START_SAMPLES)) == 0;
    }
    int doubtful = __builtin_popcountll(held.soft.doubtful);
    if (early == 1 || early == -1)  // a slip, where the word rebuilt may be the window read a bit late
        return doubtful <= DOUBTFUL_MAX && rebuild_slip(early < 0, errors, cw);
    if (early != 0 || held.errors < 0)
        return false;
    std::uint64_t r = pack(held.cw), word = r;  // word: as corrected
    for (int k = 0; k < held.errors; k++)
        word ^= 1ULL << (64 - held.bits[k]);
    unpack(word, cw);
    if (two_slips_pass(r, held.soft, word, !held.aligned) || another_within_doubt(r, held.soft.doubtful, word) ||
        edges_moved(bit_soft))
        return false;
    bool exact = errors == 0 && held.aligned;  // aligned window, next system codeword error-free
    if (!(exact && held.errors == 1) && out_of_place(held.cw, held.bit_before, held.next_bit))
        return false;
    switch (held.errors) {
    case 0:
        return held.aligned || doubtful <= DOUBTFUL_MAX;
    case 1: {
        bool on_doubtful = bit_set(held.soft.doubtful, held.bits[0]) && doubtful <= DOUBTFUL_MAX;
        bool on_split = bit_set(held.soft.split, held.bits[0]) && __builtin_popcountll(held.soft.split) <= SPLIT_MAX;
        bool aligned_doubtful = held.aligned && bit_set(held.soft.doubtful, held.bits[0]);
        bool aligned_weak = held.aligned && bit_set(held.soft.weak, held.bits[0]) && doubtful <= DOUBTFUL_TWO_MAX;
        return errors == 0 ? aligned_doubtful || aligned_weak || on_split : errors == 1 && held.aligned && on_doubtful;
    }
    default:  // two
        return errors == 0 && bit_set(held.soft.doubtful, held.bits[0]) && bit_set(held.soft.doubtful, held.bits[1]) &&
               doubtful <= DOUBTFUL_TWO_MAX;
    }
}

// The address codeword held, when the next system codeword has been
// accepted with errors (-1: not at all), early bits before its place:
// reported when that confirms it, else dropped.
void settle_held(mpt1327_t* state, int errors, int early)
{
    if (!held.on)
        return;
    held.on = false;
    unsigned short cw[4];
    if (!confirmed(errors, early, cw)) {
        decode_counts.failed++;
        return;
    }
    unsigned short now[4] = {state->cw[0], state->cw[1], state->cw[2], state->cw[3]};
    for (int w = 0; w < 4; w++)
        state->cw[w] = cw[w];
    if (held.errors != 0)
        decode_counts.corrected++;
    decode_counts.passed++;
    framing_address(state);
    for (int w = 0; w < 4; w++)
        state->cw[w] = now[w];
}

}  // namespace

bit_soft_t bit_soft;
decoder_var(bit_soft);

// Rule 3 at the 64th bit of the window.
void correct_window_end(mpt1327_t* state)
{
    unsigned short* cw = state->cw;
    int bits[2] = {0, 0};
    int n = correct_pattern(cw, bits);
    bool at_once = n == 0 && window_clean && !near_when_read_late(cw) && !two_slips_pass(pack(cw), bit_soft, pack(cw), false);
    int start_moved = at_once ? ways_moved(moved_at_start, bit_soft, START_SAMPLES) : 0;
    if (at_once && start_moved == 0) {
        decode_counts.passed++;
        framing_address(state);
    } else if (n >= 0 || state->framing == 1) {  // failing: held for a slip after an accepted system codeword
        held = held_t{true, n, {bits[0], bits[1]}, {cw[0], cw[1], cw[2], cw[3]}, bit_soft,
                      window_clean, window_aligned, window_placed, bit_before, -1, start_moved};
    } else {
        decode_counts.failed++;
    }
    // The next slot is expected after an accepted system codeword (state 1)
    // or for a codeword held; else only sync words are hunted.
    coast = SLOTS_COASTED;
    state->framing = state->framing == 1 || held.on ? FRAMING_CORRECT_HUNTING : 0;
    state->nbits = 0;
}

// Rule 2 where the next slot is due, then sync words.
void correct_hunt(mpt1327_t* state)
{
    if (state->nbits == 1 && held.on)
        held.next_bit = state->cw[3] & 1;
    int early = SLOT_BITS - 64 - (state->nbits & (SLOT_BITS - 1));  // bits until the slot is due
    if (early >= -SLIP_BITS && early <= SLIP_BITS) {
        std::uint64_t raw = pack(state->cw);
        int errors = accept_system(state, false);
        if (errors >= 0) {
            // A system codeword that began in its place and slipped inside
            // ends where its bits end: the window after it is placed too.
            bool began = began_in_place(raw, pack(state->cw), early);
            settle_held(state, errors, began ? 0 : early);
            open_window(state, errors, (early == 0 || began) && coast == SLOTS_COASTED);
            return;
        }
        if (early == -SLIP_BITS) {
            settle_held(state, -1, NO_SLOT);
            if (--coast == 0)
                state->framing = 0;
        }
    }
    if (is_sync(state->cw[3])) {
        int errors = accept_system(state, true);
        // Before the slot a codeword is held for, a sync word that is not a
        // system codeword is bits of the system codeword or of noise that
        // read as one: the slot is still looked for.
        if (errors < 0 && held.on && early > SLIP_BITS)
            return;
        settle_held(state, -1, 0);
        open_window(state, errors, true);
    }
}

int correct_pattern(const unsigned short cw[4], int bits[2])
{
    if (!built)
        build();
    unsigned short syndrome = check_of(cw);
    if (syndrome == 0)
        return 0;
    unsigned short e = error_of[syndrome];
    if (e == 0)
        return -1;
    bits[0] = e & 0xff;
    bits[1] = e >> 8;
    return bits[1] ? 2 : 1;
}

void correct_end(mpt1327_t* state)
{
    if (held.on && held.errors == 0 && held.placed)
        settle_held(state, 0, 0);
    held.on = false;
}

// Nothing is held while hunting only by sync words (an earlier run of the
// decoder may have left a codeword held).
void correct_sync(mpt1327_t* state)
{
    held.on = false;
    open_window(state, accept_system(state, true), true);
}

bool correct_framing(mpt1327_t* state)
{
    if (correct != 1)
        return false;
    if (state->framing == FRAMING_CORRECT_HUNTING) {
        correct_hunt(state);
        return true;
    }
    if (state->framing != FRAMING_CORRECT_REFRAMING)
        return false;
    if (is_sync(state->cw[3])) {
        int errors = accept_system(state, true);
        if (errors >= 0) {
            open_window(state, errors, true);  // the window was opened by a false sync word
            return true;
        }
    }
    if (state->nbits == 64)
        correct_window_end(state);
    return true;
}
