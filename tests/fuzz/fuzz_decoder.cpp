// Fuzz the decoder with every combination of settings and either a raw bit
// stream or a stream of valid codewords built from the input.
//
// Input layout:
//   byte 0     FILTER 0-6
//   byte 1     bit 0 BINARY, bit 1 LOG, bit 2 BEEP, bit 3 codeword mode,
//              bit 4 data-channel sync, bits 5-6 RADIO 0, 1, 2 or 4
//              (never 3: Hamlib's rigs answer in tens of milliseconds),
//              bit 7 CORRECT
//   bytes 2-3  TARGET_PREF: 9999 when byte 2 is 0xff, else byte 2 & 0x7f
//   bytes 4-5  TARGET_ID: 9999 when byte 4 is 0xff, else bytes 4-5 & 0x1fff
//   rest       raw mode: bits, most significant first
//              codeword mode: records of 8 bytes, a system identity (2) and
//              the information bits of an address codeword (6)
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mptgen.h"
#include "mpt1327/mpt1327.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/marrowit-fuzz-decoder-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        std::abort();
    console = std::fopen("/dev/null", "w");
    return 0;
}

static void feed_word(unsigned short w)
{
    for (int i = 15; i >= 0; i--)
        mpt1327((unsigned char)((w >> i) & 1), &mpt1327_state);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    unsigned flags = data[1];
    unsigned pref = data[2] == 0xff ? 9999 : data[2] & 0x7f;
    unsigned id = data[4] == 0xff ? 9999 : (data[4] << 8 | data[5]) & 0x1fff;
    (void)data[3];

    // The settings as a file, so that every identity change re-reads them.
    std::FILE* f = std::fopen("solvane.ini", "w");
    if (!f)
        std::abort();
    std::fprintf(f,
                 "[general]\nFILTER=%u\nBINARY=%u\nLOG=%u\nBEEP=%u\nTARGET_PREF=%u\nTARGET_ID=%u\n"
                 "CORRECT=%u\n[rs232]\nRADIO=%u\nDEVICE=/nonexistent/tty\n",
                 data[0] % 7u, flags & 1, (flags >> 1) & 1, (flags >> 2) & 1, pref, id, (flags >> 7) & 1,
                 (flags >> 5 & 3) == 3 ? 4 : flags >> 5 & 3);
    std::fclose(f);

    mpt1327_state = mpt1327_t{};
    currentsys = 0xffff;
    snprintf(sys, sizeof sys, "0xffff");
    removemsg = 0;
    mpt1327_setup();

    data += 6;
    size -= 6;
    if (!(flags & 8)) {
        for (size_t i = 0; i < size; i++)
            for (int b = 7; b >= 0; b--)
                mpt1327((unsigned char)((data[i] >> b) & 1), &mpt1327_state);
    } else {
        unsigned short sync = flags & 16 ? 0x3B28 : 0xC4D7;
        for (size_t i = 0; i + 8 <= size; i += 8) {
            unsigned short sc[4], cw[4];
            gen_system_codeword(sc, (unsigned)(data[i] << 8 | data[i + 1]) & 0x7fff, sync);
            cw[0] = (unsigned short)(data[i + 2] << 8 | data[i + 3]);
            cw[1] = (unsigned short)(data[i + 4] << 8 | data[i + 5]);
            cw[2] = (unsigned short)(data[i + 6] << 8 | data[i + 7]);
            gen_encode(cw);
            for (unsigned short w : sc)
                feed_word(w);
            for (unsigned short w : cw)
                feed_word(w);
        }
    }
    if (logfile) {
        std::fclose(logfile);
        logfile = nullptr;
        std::remove("logfile.txt");
    }
    return 0;
}
