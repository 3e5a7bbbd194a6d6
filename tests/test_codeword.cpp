// The codeword check, the field helper and the generator's encoder.
#include <gtest/gtest.h>

#include <random>

#include "harness.h"
#include "mpt1327/correct.h"
#include "mpt1327/fields.h"
#include "mpt1327/mpt1327.h"

static unsigned short fcs(unsigned short a, unsigned short b, unsigned short c, unsigned short d)
{
    mpt1327_t s{{a, b, c, d}, 0, 0};
    return mpt1327_fcs(&s);
}

TEST(CodewordCheck, KnownRegisters)
{
    EXPECT_EQ(fcs(0, 0, 0, 0), 0x6815);  // the inverted bit 63 alone
    EXPECT_EQ(fcs(0x8000, 0x0000, 0x0000, 0xE816), 0);
    EXPECT_EQ(fcs(0x0123, 0x4567, 0x89AB, 0xC13D), 0);
    EXPECT_EQ(fcs(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFC), 0);
    EXPECT_EQ(fcs(0x1234, 0x4221, 0xAAAA, 0xC4D7), 0);  // CCSC of system 0x1234
    EXPECT_EQ(fcs(0x8100, 0x1400, 0x1856, 0x5514), 0);  // ALOHA
}

TEST(CodewordCheck, GetbitNumbering)
{
    unsigned short w[4] = {0x8000, 0x0001, 0x4000, 0x0001};
    EXPECT_EQ(getbit(0, w), 1);
    EXPECT_EQ(getbit(1, w), 0);
    EXPECT_EQ(getbit(31, w), 1);
    EXPECT_EQ(getbit(33, w), 1);
    EXPECT_EQ(getbit(63, w), 1);
    EXPECT_EQ(getbit(62, w), 0);
}

// The check catches every flip of one or two bits, and its result names
// them; three flipped bits are caught and never taken for one or two.
TEST(CodewordCheck, EverySingleAndDoubleFlipIsCaughtAndLocated)
{
    const unsigned short valid[4] = {0x0123, 0x4567, 0x89AB, 0xC13D};
    int bits[2];
    EXPECT_EQ(correct_pattern(valid, bits), 0);
    for (int i = 1; i <= 64; i++) {
        unsigned short w[4] = {valid[0], valid[1], valid[2], valid[3]};
        cw_set_bits(w, i, i, cw_bits(w, i, i) ^ 1);
        unsigned short r = fcs(w[0], w[1], w[2], w[3]);
        EXPECT_NE(r, 0) << "bit " << i;
        if (i == 64) {
            EXPECT_EQ(r, 0x8000);  // parity error alone
        }
        ASSERT_EQ(correct_pattern(w, bits), 1) << "bit " << i;
        EXPECT_EQ(bits[0], i);
        for (int j = i + 1; j <= 64; j++) {
            unsigned short v[4] = {w[0], w[1], w[2], w[3]};
            cw_set_bits(v, j, j, cw_bits(v, j, j) ^ 1);
            unsigned short r2 = fcs(v[0], v[1], v[2], v[3]);
            if (j <= 63) {
                EXPECT_EQ(r2 & 0x8000, 0) << "bits " << i << "," << j;
                EXPECT_NE(r2 & 0x7fff, 0) << "bits " << i << "," << j;
            }
            ASSERT_EQ(correct_pattern(v, bits), 2) << "bits " << i << "," << j;
            EXPECT_EQ(bits[0], i);
            EXPECT_EQ(bits[1], j);
            for (int k = j + 1; k <= 64; k += 7) {
                unsigned short u[4] = {v[0], v[1], v[2], v[3]};
                cw_set_bits(u, k, k, cw_bits(u, k, k) ^ 1);
                EXPECT_EQ(correct_pattern(u, bits), -1) << "bits " << i << "," << j << "," << k;
            }
        }
    }
}

TEST(FieldHelper, ReadsAndWritesBitRanges)
{
    unsigned short w[4] = {0x8100, 0x1400, 0x1856, 0x5514};
    EXPECT_EQ(cw_bits(w, 1, 1), 1u);
    EXPECT_EQ(cw_bits(w, 2, 8), 1u);     // PFIX
    EXPECT_EQ(cw_bits(w, 9, 21), 2u);    // IDENT1 straddles cw[0] and cw[1]
    EXPECT_EQ(cw_bits(w, 22, 22), 1u);
    EXPECT_EQ(cw_bits(w, 35, 37), 3u);   // WT
    EXPECT_EQ(cw_bits(w, 40, 44), 5u);   // M
    EXPECT_EQ(cw_bits(w, 45, 48), 6u);   // N
    EXPECT_EQ(cw_bits(w, 49, 64), 0x5514u);
    EXPECT_EQ(cw_bits(w, 1, 32), 0x81001400u);
    unsigned short v[4] = {0, 0, 0, 0};
    cw_set_bits(v, 24, 33, 0x3ff);
    EXPECT_EQ(v[1], 0x01ff);
    EXPECT_EQ(v[2], 0x8000);
}

TEST(Generator, EncodesValidCodewords)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; i++) {
        unsigned short w[4] = {(unsigned short)rng(), (unsigned short)rng(), (unsigned short)rng(), 0};
        gen_encode(w);
        EXPECT_EQ(fcs(w[0], w[1], w[2], w[3]), 0);
    }
    unsigned short w[4] = {0x8100, 0x1400, 0x1856, 0};
    gen_encode(w);
    EXPECT_EQ(w[3], 0x5514);
}

TEST(Generator, SolvesSystemCodewordsForEveryIdentity)
{
    unsigned short w[4];
    ASSERT_EQ(gen_system_codeword(w, 0x1234, SYNC_CONTROL), 0);
    EXPECT_EQ(w[0], 0x1234);
    EXPECT_EQ(w[1], 0x4221);
    EXPECT_EQ(w[2], 0xAAAA);
    EXPECT_EQ(w[3], 0xC4D7);
    for (unsigned sysid = 0; sysid <= 0x7fff; sysid += 97) {
        for (unsigned short sync : {SYNC_CONTROL, SYNC_DATA}) {
            ASSERT_EQ(gen_system_codeword(w, sysid, sync), 0);
            EXPECT_EQ(fcs(w[0], w[1], w[2], w[3]), 0);
            EXPECT_EQ(w[3], sync);
            EXPECT_EQ(cw_bits(w, 2, 16), sysid);
        }
    }
}
