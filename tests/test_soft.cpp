// The soft framing and soft-decision decoding of DEMOD=1, fed with
// reliabilities made here: chosen error patterns, the reliability rule,
// re-framing after a slip, noise alone, and a clean signal decoded exactly
// as DEMOD=0 decodes it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>

#include "demod/soft.h"
#include "harness.h"
#include "mpt1327/fields.h"
#include "mpt1327/mpt1327.h"

namespace {

std::uint64_t pack(const unsigned short cw[4])
{
    return (std::uint64_t)cw[0] << 48 | (std::uint64_t)cw[1] << 32 | (std::uint64_t)cw[2] << 16 | cw[3];
}

unsigned short check_of(std::uint64_t w)
{
    mpt1327_t s = {{(unsigned short)(w >> 48), (unsigned short)(w >> 32), (unsigned short)(w >> 16),
                    (unsigned short)w},
                   0, 0};
    return mpt1327_fcs(&s);
}

// An address codeword of the generator.
std::uint64_t gtc_word()
{
    unsigned short cw[4];
    std::string error;
    EXPECT_EQ(gen_message("gtc pfix=12 ident1=345 ident2=678 chan=42", cw, &error), 0) << error;
    return pack(cw);
}

// Reliabilities of word, every bit sure by size; bits (1-64) in against
// turned the other way with their own size.
void llrs_of(std::uint64_t word, float size, const std::map<int, float>& against, float llr[64])
{
    for (int i = 0; i < 64; i++) {
        float sign = (word >> (63 - i) & 1) ? 1.0f : -1.0f;
        auto a = against.find(i + 1);
        llr[i] = a == against.end() ? sign * size : -sign * a->second;
    }
}

// The decision of the rule for one window, read in its place.
bool taken(const float llr[64], soft_word_t* w)
{
    soft_decode(llr, w);
    return soft_margin(w->lambda, w->others, soft_address_noise) >= soft_threshold;
}

// Codeword bits (1-64) where two codewords 6 bits apart differ: two sets
// of three bits whose check columns add up to the same.
std::vector<int> six_bits()
{
    unsigned short column[65];
    for (int i = 1; i <= 64; i++)
        column[i] = (unsigned short)(check_of(1ULL << (64 - i)) ^ check_of(0));
    std::map<unsigned short, std::vector<int>> seen;
    for (int a = 1; a <= 64; a++)
        for (int b = a + 1; b <= 64; b++)
            for (int c = b + 1; c <= 64; c++) {
                unsigned short s = column[a] ^ column[b] ^ column[c];
                auto it = seen.find(s);
                if (it != seen.end()) {
                    std::vector<int> v = it->second;
                    // Six apart, none two side by side (two neighbours may
                    // be one symbol's error, counted once).
                    bool apart = true;
                    for (int x : v)
                        for (int y : {a, b, c})
                            apart = apart && std::abs(x - y) > 1;
                    if (apart && b > a + 1 && c > b + 1 && v[1] > v[0] + 1 && v[2] > v[1] + 1)
                        return {v[0], v[1], v[2], a, b, c};
                } else {
                    seen[s] = {a, b, c};
                }
            }
    return {};
}

TEST(SoftDecode, ChosenErrorPatternsAreCorrectedOrRefusedByTheirReliability)
{
    const std::uint64_t sent = gtc_word();
    ASSERT_EQ(check_of(sent), 0);
    struct case_t {
        const char* what;
        std::map<int, float> against;  // bit -> its |llr|, the wrong way
        bool taken;
    };
    const case_t cases[] = {
        {"no error", {}, true},
        {"one unsure bit wrong", {{30, 0.5f}}, true},
        {"two unsure bits wrong", {{3, 1.0f}, {50, 0.8f}}, true},
        {"three unsure bits wrong: beyond the hard decoder", {{7, 1.0f}, {20, 0.6f}, {61, 0.9f}}, true},
        {"four unsure bits wrong", {{7, 0.5f}, {20, 0.4f}, {40, 0.6f}, {61, 0.3f}}, true},
        {"one sure bit wrong", {{12, 6.0f}}, true},
        {"two sure bits wrong: nothing is sure any more", {{12, 9.0f}, {45, 9.0f}}, false},
        {"five bits wrong, halfway sure", {{2, 4.0f}, {9, 4.0f}, {30, 4.0f}, {44, 4.0f}, {60, 4.0f}}, false},
        {"eight bits wrong, apart", {{30, 2.0f}, {32, 2.0f}, {34, 2.0f}, {36, 2.0f}, {38, 2.0f}, {40, 2.0f},
                                     {42, 2.0f}, {44, 2.0f}}, false},
        // Side by side, eight bits are what four symbols received wrong
        // turn (each symbol two bits): four errors of 2, taken.
        {"a burst of eight bits: four symbols", {{30, 2.0f}, {31, 2.0f}, {32, 2.0f}, {33, 2.0f}, {34, 2.0f},
                                                 {35, 2.0f}, {36, 2.0f}, {37, 2.0f}}, true},
    };
    for (const case_t& c : cases) {
        float llr[64];
        llrs_of(sent, 12.0f, c.against, llr);
        soft_word_t w;
        bool t = taken(llr, &w);
        EXPECT_EQ(t, c.taken) << c.what;
        if (t) {
            EXPECT_EQ(w.word, sent) << c.what;
        }
    }
}

TEST(SoftDecode, TheRuleRefusesAWordAnotherExplainsAlmostAsWell)
{
    const std::uint64_t sent = gtc_word();
    std::vector<int> bits = six_bits();
    ASSERT_EQ(bits.size(), 6u);
    std::uint64_t other = sent;
    for (int b : bits)
        other ^= 1ULL << (64 - b);
    ASSERT_EQ(check_of(other), 0) << "the other codeword";
    // Three of the six bits lean to the codeword sent, three to the
    // other; the other three are unsure in both cases below.
    for (float lean_other : {1.0f, 2.2f}) {
        std::map<int, float> against = {{bits[3], lean_other}, {bits[4], lean_other}, {bits[5], lean_other}};
        float llr[64];
        llrs_of(sent, 12.0f, against, llr);
        for (int k = 0; k < 3; k++)
            llr[bits[k] - 1] = llr[bits[k] - 1] > 0 ? 2.5f : -2.5f;
        soft_word_t w;
        bool t = taken(llr, &w);
        // The decoder's choice is the codeword sent either way; the
        // margin to the other is 3 * (2.5 - lean_other).
        EXPECT_EQ(w.word, sent);
        double margin = soft_margin(w.lambda, w.others, -INFINITY);
        EXPECT_NEAR(margin, 3 * (2.5 - lean_other), 0.05) << lean_other;
        EXPECT_EQ(t, false) << "another codeword explains the window almost as well: " << lean_other;
    }
    // With the six bits sure of the codeword sent and three others wrong
    // instead, unsure, the same flips cost the same and it is taken.
    float llr[64];
    llrs_of(sent, 12.0f, {{5, 1.0f}, {25, 1.0f}, {55, 1.0f}}, llr);
    soft_word_t w;
    EXPECT_TRUE(taken(llr, &w));
    EXPECT_EQ(w.word, sent);
}

// A window of the sensitivity sweep (clock exact, -2 dB, slot 8733) read
// in its place and confirmed by the next slot.  Bits 25 and 26 turned by
// one symbol received wrong (|llr| 9.3 and 2.5), 4 and 5 by another: taken
// as independent bits, they made the codeword sent look e^15 less likely
// than one 6 bits from it, and that one was taken with a margin of 12.8.
// Each such symbol counts once: never a codeword that was not sent.
TEST(SoftDecode, ASymbolReceivedWrongCountsOnceForTheTwoBitsItTurns)
{
    const float llr[64] = {
        4.33f,  4.32f,  8.78f,  2.49f,  -2.49f, 13.0f,  -11.5f, -11.6f, -5.13f, -4.08f, -4.5f,  10.0f,  3.41f,
        3.41f,  5.84f,  5.86f,  11.8f,  9.08f,  -9.14f, -4.02f, 4.02f,  10.4f,  -8.88f, -8.88f, 9.31f,  -2.52f,
        -2.49f, -5.85f, 11.3f,  -11.3f, 15.0f,  8.12f,  8.12f,  13.7f,  -11.4f, -8.71f, 8.77f,  -8.65f, -8.59f,
        8.09f,  8.12f,  12.0f,  -13.8f, 10.8f,  -4.01f, -4.01f, -11.6f, -11.0f, -11.9f, -14.5f, 12.2f,  -12.3f,
        -16.9f, -11.1f, 11.1f,  8.11f,  -7.61f, -8.53f, 8.59f,  -8.56f, -2.01f, 2.01f,  -5.25f, -5.25f};
    const std::uint64_t sent = 0xec1fcc4bc9d02328ULL, other = 0xf41fdc8bc9d0232cULL;
    ASSERT_EQ(check_of(sent), 0);
    ASSERT_EQ(check_of(other), 0);
    soft_word_t w;
    bool t = taken(llr, &w);
    EXPECT_FALSE(t && w.word != sent) << std::hex << w.word << " taken with a margin of "
                                      << soft_margin(w.lambda, w.others, soft_address_noise);
}

// Runs each test in an empty directory (no settings file: FILTER 0), with
// the soft framing forgotten and a watch on what it routes.
struct SoftFraming : ::testing::Test {
    temp_dir_t dir;
    in_dir_t here{dir.path};
    static std::vector<std::uint64_t> routed;
    static void watch(const unsigned short cw[4], double) { routed.push_back(pack(cw)); }
    void SetUp() override
    {
        reset_decoder();
        soft_reset();
        routed.clear();
        soft_watch = watch;
    }
    void TearDown() override { soft_watch = nullptr; }
    static void feed(const gen_bits_t& bits, float size = 20.0f)
    {
        for (unsigned char b : bits)
            soft_bit(b ? size : -size, &mpt1327_state);
    }
    // The address codewords routed, in order.
    static std::vector<std::uint64_t> routed_addresses()
    {
        std::vector<std::uint64_t> got;
        for (std::uint64_t w : routed)
            if (w >> 63)
                got.push_back(w);
        return got;
    }
};
std::vector<std::uint64_t> SoftFraming::routed;

// The address codewords of a stream's words, in order.
std::vector<std::uint64_t> addresses(const std::vector<unsigned short>& words)
{
    std::vector<std::uint64_t> a;
    for (size_t i = 0; i + 3 < words.size(); i += 4)
        if (words[i] & 0x8000)
            a.push_back(pack(&words[i]));
    return a;
}

TEST_F(SoftFraming, ACleanSignalGivesEveryLineDemod0Gives)
{
    struct case_t {
        const char* sync;    // SYNC setting
        const char* script;  // the signal
    } cases[] = {
        {"0",
         "preamble 20\n"
         "random 40 seed=7 sys=0x2345\n"
         "ccsc 0x2345\naloha\nccsc 0x2345\ngtc pfix=1 ident1=2 ident2=3 chan=4\n"
         "dcsc 0x2345\nclear chan=4\n"
         "bits 0110\n"  // the slot timing broken
         "ccsc 0x0777\nack pfix=9 ident1=99 ident2=5\nccsc 0x0777\nbcast\n"
         "ccsc 0x0777\nsam pfix=3 ident1=77\n"},
        {"2",  // both pairs of sync words: four system codewords a system
         "sync french\nrandom 10 seed=8 sys=0x0123\nsync standard\nrandom 10 seed=9 sys=0x0123\n"
         "sync french\ndcsc 0x0123\nmove chan=7\n"},
    };
    for (const case_t& c : cases) {
        write_file(dir.file("solvane.ini"),
                   std::string("[general]\nFILTER=5\nBINARY=1\nSYNC=") + c.sync + "\n[rs232]\nRADIO=0\n");
        gen_bits_t bits;
        std::vector<unsigned short> words;
        std::string error;
        ASSERT_EQ(gen_script(c.script, &bits, &words, &error), 0) << error;
        reset_decoder();
        mpt1327_setup();  // the settings read, as the program does at its start
        feed_bits(bits);
        mpt1327_end(&mpt1327_state);
        std::string hard = console_output();
        decode_counts_t hard_counts = decode_counts;
        ASSERT_NE(hard.find("- CCSC"), std::string::npos) << c.script;

        reset_decoder();
        mpt1327_setup();
        soft_reset();
        routed.clear();
        feed(bits);
        soft_end(&mpt1327_state);
        std::string soft = console_output();
        EXPECT_EQ(soft, hard) << c.script;
        EXPECT_EQ(decode_counts.passed, hard_counts.passed);
        EXPECT_EQ(decode_counts.failed, 0u);
        EXPECT_EQ(decode_counts.corrected, 0u);
        EXPECT_EQ(routed.size(), words.size() / 4);

        // And the real program with DEMOD=0 on the signal rendered as audio.
        run_result_t r = run_program(marrowit_path(), {"-q", "-"}, dir.path, render_u8(c.script));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mask_times(r.out), mask_times(soft)) << c.script;
    }
}

TEST_F(SoftFraming, ASlipIsReframedAndTheCodewordsReadAcrossItRebuilt)
{
    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::string error;
    ASSERT_EQ(gen_script("random 30 seed=3\n", &bits, &words, &error), 0) << error;
    std::vector<std::uint64_t> sent = addresses(words);
    // A bit dropped in the system codeword of slot 10, one read twice in
    // the address codeword of slot 20: the slot timing follows both, the
    // system codeword is recognised across the first and the address
    // codeword read across the second is rebuilt: nothing is lost.
    gen_bits_t slipped;
    for (size_t i = 0; i < bits.size(); i++) {
        if (i == 10 * 128 + 20)
            continue;
        slipped.push_back(bits[i]);
        if (i == 20 * 128 + 64 + 30)
            slipped.push_back(bits[i]);
    }
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0, 1);
    for (unsigned char b : slipped)  // +0.5 dB SNR: a bit in 1200 wrong
        soft_bit((b ? 20.0f : -20.0f) + std::sqrt(40.0f) * noise(rng), &mpt1327_state);
    soft_end(&mpt1327_state);
    EXPECT_EQ(routed_addresses(), sent);
}

TEST_F(SoftFraming, NoiseAloneDecodesNothing)
{
    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::string error;
    ASSERT_EQ(gen_script("random 2 seed=1 sys=0x1234\nccsc 0x1234\n", &bits, &words, &error), 0) << error;
    feed(bits);  // the identity and the slot timing known, a window open on what follows
    size_t before = routed.size();
    ASSERT_EQ(before, 5u) << "three system codewords, two address codewords";
    std::mt19937 rng(11);
    std::normal_distribution<float> gauss(0, 1);
    std::bernoulli_distribution coin(0.5);
    // Pure noise at -6, 0 and +6 dB's sigma (llr = 2 n / sigma^2), and
    // sure-looking random bits (a strong interferer), 100 000 bits each.
    for (double snr : {-6.0, 0.0, 6.0}) {
        double sigma = std::sqrt(1 / (2 * std::pow(10.0, (snr + 6.5) / 10)));
        for (int i = 0; i < 100000; i++)
            soft_bit((float)(2 * sigma * gauss(rng) / (sigma * sigma)), &mpt1327_state);
    }
    for (int i = 0; i < 100000; i++)
        soft_bit(coin(rng) ? 20.0f : -20.0f, &mpt1327_state);
    soft_end(&mpt1327_state);
    EXPECT_EQ(routed.size(), before);
}

TEST_F(SoftFraming, AfterAFadeTheSlotsAreFoundAgainWithoutAnErrorFreeSystemCodeword)
{
    gen_bits_t clean, after;
    std::vector<unsigned short> words, later;
    std::string error;
    ASSERT_EQ(gen_script("random 3 seed=1 sys=0x1234\n", &clean, &words, &error), 0) << error;
    ASSERT_EQ(gen_script("random 20 seed=2 sys=0x1234\n", &after, &later, &error), 0) << error;
    feed(clean);
    // Two seconds of nothing (the slot timing is lost after 8 slots), then
    // slots whose system codewords each have two bits wrong, half sure:
    // only the soft correlation with the known system codeword finds them.
    std::mt19937 rng(3);
    std::normal_distribution<float> gauss(0, 1);
    for (int i = 0; i < 2400 + 37; i++)
        soft_bit(3.0f * gauss(rng), &mpt1327_state);
    routed.clear();
    for (size_t i = 0; i < after.size(); i++) {
        int in_slot = (int)(i % 128);
        bool wrong = in_slot == 5 || in_slot == 40;
        float size = wrong ? -4.0f : 20.0f;
        soft_bit(after[i] ? size : -size, &mpt1327_state);
    }
    soft_end(&mpt1327_state);
    std::vector<std::uint64_t> sent = addresses(later);
    // The first slot is found by its system codeword while hunting, so
    // every address codeword comes.
    EXPECT_EQ(routed_addresses(), sent);
    EXPECT_EQ(routed.size(), 2 * sent.size());
}

// One slip of the bit timing at a chosen place of slot 6 of 12, on a clean
// signal: a bit dropped or read twice.  The slots after it are always
// found; what is lost is only what cannot be told apart:
// - a slip in the sync word (bits 49-64) leaves no place where the system
//   codeword is whole: the slot is coasted over;
// - bit 2 of this address codeword dropped: bits 1 and 2 are both 1, so
//   the 63 bits read are as well the codeword sent shifted by one bit with
//   its last bit dropped, and that is another codeword (the code is
//   cyclic).  Both explain the bits as well: the rule refuses.
TEST_F(SoftFraming, EachPlaceOfASlipLosesAtMostItsOwnSlot)
{
    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::string error;
    ASSERT_EQ(gen_script("random 12 seed=9\n", &bits, &words, &error), 0) << error;
    std::vector<std::uint64_t> sent = addresses(words);
    struct case_t {
        int bit;       // of slot 6, 1-128
        bool twice;    // read twice, else dropped
        bool lost;     // slot 6's address codeword lost
    } cases[] = {
        {1, false, false},  {11, false, false}, {30, true, false},   {48, true, false},
        {56, false, true},  {60, true, true},   {66, false, true},  {70, true, false},
        {100, false, false}, {104, true, false}, {127, false, false}, {128, true, false},
    };
    for (const case_t& c : cases) {
        reset_decoder();
        soft_reset();
        routed.clear();
        gen_bits_t slipped;
        for (size_t i = 0; i < bits.size(); i++) {
            bool here = i == 6 * 128 + (size_t)c.bit - 1;
            if (here && !c.twice)
                continue;
            slipped.push_back(bits[i]);
            if (here)
                slipped.push_back(bits[i]);
        }
        feed(slipped);
        soft_end(&mpt1327_state);
        std::vector<std::uint64_t> got = routed_addresses(), expected = sent;
        size_t systems = routed.size() - got.size();
        if (c.lost)
            expected.erase(expected.begin() + 6);
        EXPECT_EQ(got, expected) << "bit " << c.bit << (c.twice ? " read twice" : " dropped");
        bool in_sync = c.bit >= 49 && c.bit <= 64;
        EXPECT_EQ(systems, in_sync ? 11u : 12u) << "bit " << c.bit;
    }
}

}  // namespace
