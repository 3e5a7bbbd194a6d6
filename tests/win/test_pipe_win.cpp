// The Windows program decodes raw samples from standard input: the input
// must be read as bytes (a text-mode stream would stop at the first 0x1A
// and swallow carriage returns), and its report lines must be those the
// decoder gives for the same bits.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"
#include "mpt1327/mpt1327.h"

TEST(WindowsPipe, DecodesFullScaleSamplesFromStandardInput)
{
    const std::string script =
        "ccsc 0x1234\n"
        "aloha pfix=1 ident1=2\n"
        "random 40 seed=3 sys=0x1234\n"
        "gtc pfix=12 ident1=345 ident2=678 chan=42\n";
    gen_audio_t opt;
    opt.level = 0.9;
    opt.snr_db = 25;  // with noise every byte value occurs, 0x0A, 0x0D and 0x1A among them
    std::string audio = render_u8(script, opt);
    ASSERT_NE(audio.find('\x1a'), std::string::npos);
    ASSERT_NE(audio.find('\r'), std::string::npos);
    ASSERT_NE(audio.find('\n'), std::string::npos);

    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=9\n[rs232]\nRADIO=0\n");

    // The decoder's own report lines for these bits, with the same settings
    // (re-read from the current directory when the system identity arrives).
    gen_bits_t bits;
    std::string error;
    ASSERT_EQ(gen_script(script, &bits, nullptr, &error), 0) << error;
    std::string expected;
    {
        in_dir_t here(dir.path);
        reset_decoder();
        feed_bits(bits);
        expected = mask_times(console_output());
    }
    ASSERT_NE(expected.find("0x1234"), std::string::npos);

    run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, audio);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string out = mask_times(without_cr(r.out));
    EXPECT_EQ(out, expected);
}
