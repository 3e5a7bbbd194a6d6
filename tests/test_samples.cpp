// Turning recorded and piped audio into the run loop's unsigned 8-bit samples.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio/samples.h"

TEST(Samples, QuantisationIsExactForEightBitInput)
{
    for (int u = 0; u < 256; u++)
        EXPECT_EQ(sample_to_u8((float)((u - 128) / 128.0)), u);
}

TEST(Samples, SixteenBitInputRoundsToTheNearestStepAndClips)
{
    auto s16 = [](int s) { return sample_to_u8((float)(s / 32768.0)); };
    EXPECT_EQ(s16(0), 128);
    EXPECT_EQ(s16(127), 128);
    EXPECT_EQ(s16(128), 129);   // half a step up rounds up
    EXPECT_EQ(s16(-128), 128);
    EXPECT_EQ(s16(-129), 127);
    EXPECT_EQ(s16(-32768), 0);
    EXPECT_EQ(s16(32767), 255);
    EXPECT_EQ(sample_to_u8(3.0f), 255);
    EXPECT_EQ(sample_to_u8(-3.0f), 0);
    EXPECT_EQ(sample_to_u8(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(sample_to_u8(std::numeric_limits<float>::infinity()), 255);
}

TEST(Samples, QueueHandsOutWhatWasPushedInOrder)
{
    sample_queue_t q;
    std::vector<float> in;
    for (int i = 0; i < 5000; i++)
        in.push_back((float)((i % 256 - 128) / 128.0));
    queue_push(&q, in.data(), 3000);
    queue_push(&q, in.data() + 3000, 2000);
    std::vector<unsigned char> out(1080);
    size_t total = 0;
    while (size_t n = queue_take(&q, out.data(), out.size())) {
        for (size_t i = 0; i < n; i++)
            ASSERT_EQ(out[i], (total + i) % 256);
        total += n;
    }
    EXPECT_EQ(total, 5000u);
    queue_reset(&q);
}

TEST(Samples, RateConversionKeepsTheTone)
{
    // 1200 Hz at 48000 samples per second comes out as 1200 Hz at 10800:
    // one cycle every 9 samples.
    const char* error = nullptr;
    sample_queue_t q;
    q.resampler = resampler_open(48000, 10800, &error);
    ASSERT_NE(q.resampler, nullptr) << error;
    std::vector<float> in(48000);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = (float)(0.5 * std::sin(6.283185307179586 * 1200 * (double)i / 48000));
    queue_push(&q, in.data(), in.size());
    queue_drain(&q);
    std::vector<unsigned char> out(20000);
    size_t n = queue_take(&q, out.data(), out.size());
    EXPECT_NEAR((double)n, 10800, 2);
    double worst = 0;
    for (size_t i = 2000; i + 9 < 9000; i++)
        worst = std::max(worst, std::fabs((double)out[i] - (double)out[i + 9]));
    EXPECT_LE(worst, 2) << "periodic with 9 samples";
    queue_reset(&q);
}

#include "audio/audio.h"
#include "harness.h"

// A PCM WAV file by hand: mono, the given rate, 8 or 16 bits.
static std::string wav(int rate, int bits, const std::string& data)
{
    auto u32 = [](unsigned v) { return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; };
    auto u16 = [](unsigned v) { return std::string{(char)v, (char)(v >> 8)}; };
    int block = bits / 8;
    return "RIFF" + u32(36 + (unsigned)data.size()) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32((unsigned)rate) +
           u32((unsigned)(rate * block)) + u16((unsigned)block) + u16((unsigned)bits) + "data" +
           u32((unsigned)data.size()) + data;
}

static std::string read_recording(const std::string& path)
{
    audio_setup_t setup = {0, 1, 10800, 0};
    std::string got;
    if (file_init(path.c_str(), &setup) == 0 && file_read_begin() == 0) {
        unsigned char* buffer;
        while (int n = file_read(&buffer))
            got.append((const char*)buffer, (size_t)n);
    }
    file_close();
    return got;
}

TEST(Recordings, SamplesAtTheRunLoopRateArriveUnchanged)
{
    temp_dir_t dir;
    std::string all;
    for (int round = 0; round < 10; round++)
        for (int u = 0; u < 256; u++)
            all += (char)u;
    write_file(dir.file("u8.wav"), wav(10800, 8, all));
    EXPECT_EQ(read_recording(dir.file("u8.wav")), all) << "8-bit samples exactly";

    // 16-bit samples: the top byte, rounded to the nearest step.
    std::string s16, expected;
    for (int v : {0, 127, 128, -128, -129, 32767, -32768, 1000, -1000}) {
        s16 += (char)(v & 0xff);
        s16 += (char)((v >> 8) & 0xff);
        expected += (char)sample_to_u8((float)(v / 32768.0));
    }
    write_file(dir.file("s16.wav"), wav(10800, 16, s16));
    EXPECT_EQ(read_recording(dir.file("s16.wav")), expected);
}
