// mptgen: MPT 1327 control-channel audio from a script of codewords.
//
//   mptgen [options] SCRIPT|-     the script from a file or standard input
//   mptgen [options] -e 'LINE' ...  script lines given on the command line
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "mptgen.h"

// The name the program is installed under (marrowit-gen), for its messages.
#ifndef MPTGEN_NAME
#define MPTGEN_NAME "mptgen"
#endif

static void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: " MPTGEN_NAME " [OPTIONS] [SCRIPT | -]\n"
                 "Render MPT 1327 codewords as 1200 baud FFSK audio.\n"
                 "\n"
                 "  -e LINE         a script line (repeatable; instead of SCRIPT)\n"
                 "  -o FILE         output file (default: raw samples on standard output)\n"
                 "  -t KIND         u8, s16 (raw), wav (8-bit), wav16, au, flac, aiff;\n"
                 "                  IQ: cu8, cs16, cf32; default from the file name, else u8\n"
                 "  --rate HZ       sample rate (10800; IQ 2048000)\n"
                 "  --level L       tone amplitude, fraction of full scale (0.5)\n"
                 "  --snr DB        add white noise at this signal-to-noise ratio\n"
                 "  --seed N        noise seed (1)\n"
                 "  --dc X          DC offset, fraction of full scale (0)\n"
                 "  --dc-hz F       let the DC offset swing between -X and X at F Hz\n"
                 "  --ppm P         sample clock error in parts per million (0)\n"
                 "  --lead N        preamble bits before the script (32)\n"
                 "  --tail N        preamble bits after it (16)\n"
                 "  --channels N    channels; the second and later carry an 1800 Hz tone (1)\n"
                 "  --repeat N      play the script N times (1)\n"
                 "  --words FILE    write every codeword as four hex words, one per line\n"
                 "  --sync WORDS    sync words: standard (0xC4D7/0x3B28) or french\n"
                 "                  (0xB433/0x4BCC) (standard)\n"
                 "\n"
                 "A receiver's faults (audio only; none by default).  The tones pass the tilt,\n"
                 "then the band-pass, as in a receiver; noise, hum and clicks are added after\n"
                 "them, so --snr means what it does without; the drift acts on all of it.\n"
                 "  --tilt DB       de-emphasis (< 0) or pre-emphasis (> 0): 1800 Hz DB per\n"
                 "                  octave above 1200 Hz, a first-order shelf (up to about 6)\n"
                 "  --bandpass LO:HI  audio band-pass, Butterworth of order 4 at either edge,\n"
                 "                  with its group delay (for example 300:3000)\n"
                 "  --noise KIND    white (as --snr alone) or fm: rising 6 dB per octave as\n"
                 "                  from an FM discriminator, of the same power\n"
                 "  --clicks N      clicks per second, at random times\n"
                 "  --hum DB        50 Hz hum and harmonics, DB of power against the tone\n"
                 "  --drift DB:S    the level sinks by up to DB and back every S seconds\n"
                 "\n"
                 "IQ captures (-t cu8|cs16|cf32): the control channel FM-modulated by the\n"
                 "audio, and each traffic channel a voice GTC allocates carrying a tone until\n"
                 "the CLEAR for it.  --level is each carrier's amplitude (0.2), --snr each\n"
                 "carrier against the noise of the band, --ppm the receiver's frequency error.\n"
                 "  --center HZ     centre of the capture (control channel + 250000)\n"
                 "  --control HZ    control channel (420000000)\n"
                 "  --move S:HZ     the control channel moves to HZ at S seconds (repeatable)\n"
                 "  --site HZ:FILE  another site in the band: its control channel at HZ sends\n"
                 "                  the script in FILE (once), its GTCs open traffic channels\n"
                 "                  on the same plan (repeatable)\n"
                 "  --base HZ       channel plan: channel C at BASE + C * STEP (420000000)\n"
                 "  --step HZ       (12500)\n"
                 "  --chan-at C:HZ  channel C lies at HZ instead (repeatable; a channel map\n"
                 "                  with ranges)\n"
                 "  --deviation HZ  peak deviation of the control channel (2500)\n"
                 "  --tone HZ       tone on traffic channels (1000)\n"
                 "  --tone-on C:HZ  another tone on channel C (repeatable)\n"
                 "  --no-carrier C  calls on channel C send nothing (repeatable)\n"
                 "\n"
                 "Script lines: ccsc SYS, dcsc SYS, aloha|ack|req|bcast|maint|move|sam|head|\n"
                 "gtc|clear field=value..., words W1 W2 W3 [W4], bits 0101..., preamble N,\n"
                 "silence N, random N [seed=S] [sys=SYS], sync standard|french;\n"
                 "set=FIRST-LAST:VALUE and flip=N\n"
                 "modify a codeword; '#' starts a comment.\n");
}

static void die(const std::string& why)
{
    std::fprintf(stderr, MPTGEN_NAME ": %s\n", why.c_str());
    std::exit(2);
}

static double number(const char* name, const char* text)
{
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (!*text || *end)
        die(std::string("bad value for ") + name + ": '" + text + "'");
    return v;
}

static std::string kind_from_name(const std::string& path)
{
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    if (ext == "wav" || ext == "au" || ext == "flac" || ext == "aiff" || ext == "s16" ||
        ext == "cu8" || ext == "cs16" || ext == "cf32")
        return ext;
    return "u8";
}

int main(int argc, char** argv)
{
    gen_audio_t opt;
    gen_iq_t iq;
    bool rate_given = false, level_given = false, center_given = false;
    std::string out = "-", kind, script, words_path, script_path;
    long repeat = 1;
    bool inline_script = false;
    bool faults = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                die("missing value for " + a);
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-e") {
            script += std::string(value()) + "\n";
            inline_script = true;
        } else if (a == "-o") {
            out = value();
        } else if (a == "-t") {
            kind = value();
        } else if (a == "--rate") {
            opt.rate = number("--rate", value());
            rate_given = true;
        } else if (a == "--level") {
            opt.level = number("--level", value());
            level_given = true;
        } else if (a == "--snr") {
            opt.snr_db = number("--snr", value());
        } else if (a == "--seed") {
            opt.seed = (std::uint64_t)number("--seed", value());
        } else if (a == "--dc") {
            opt.dc = number("--dc", value());
        } else if (a == "--dc-hz") {
            opt.dc_hz = number("--dc-hz", value());
        } else if (a == "--ppm") {
            opt.ppm = number("--ppm", value());
        } else if (a == "--lead") {
            opt.lead = (int)number("--lead", value());
        } else if (a == "--tail") {
            opt.tail = (int)number("--tail", value());
        } else if (a == "--channels") {
            opt.channels = (int)number("--channels", value());
        } else if (a == "--repeat") {
            repeat = (long)number("--repeat", value());
        } else if (a == "--tilt") {
            opt.tilt = number("--tilt", value());
            faults = true;
        } else if (a == "--bandpass") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--bandpass takes LO:HI");
            opt.bp_lo = number("--bandpass", v.substr(0, colon).c_str());
            opt.bp_hi = number("--bandpass", v.substr(colon + 1).c_str());
            faults = true;
        } else if (a == "--noise") {
            std::string v = value();
            if (v != "white" && v != "fm")
                die("--noise takes white or fm");
            opt.fm_noise = v == "fm";
            faults = faults || opt.fm_noise;
        } else if (a == "--clicks") {
            opt.clicks = number("--clicks", value());
            if (opt.clicks < 0)
                die("--clicks takes a number of clicks per second");
            faults = true;
        } else if (a == "--hum") {
            opt.hum = true;
            opt.hum_db = number("--hum", value());
            faults = true;
        } else if (a == "--drift") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--drift takes DB:SECONDS");
            opt.drift_db = number("--drift", v.substr(0, colon).c_str());
            opt.drift_s = number("--drift", v.substr(colon + 1).c_str());
            if (opt.drift_db < 0 || !(opt.drift_s > 0))
                die("--drift takes DB >= 0 and SECONDS > 0");
            faults = true;
        } else if (a == "--center") {
            iq.center = number("--center", value());
            center_given = true;
        } else if (a == "--control") {
            iq.control = number("--control", value());
        } else if (a == "--move") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--move takes SECONDS:HZ");
            iq.moves.push_back({number("--move", v.substr(0, colon).c_str()),
                                number("--move", v.substr(colon + 1).c_str())});
        } else if (a == "--site") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--site takes HZ:SCRIPT");
            std::ifstream sf(v.substr(colon + 1));
            if (!sf)
                die(v.substr(colon + 1) + ": " + std::strerror(errno));
            std::stringstream ss;
            ss << sf.rdbuf();
            gen_iq_t::site_t site;
            site.control = number("--site", v.substr(0, colon).c_str());
            std::vector<unsigned short> site_words;
            std::string site_error;
            if (gen_script(ss.str(), &site.bits, &site_words, &site_error, &site.marks) != 0)
                die(v.substr(colon + 1) + ": " + site_error);
            iq.sites.push_back(site);
        } else if (a == "--base") {
            iq.base = number("--base", value());
        } else if (a == "--step") {
            iq.step = number("--step", value());
        } else if (a == "--chan-at") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--chan-at takes CHANNEL:HZ");
            iq.chan_at.push_back({(unsigned)number("--chan-at", v.substr(0, colon).c_str()),
                                  number("--chan-at", v.substr(colon + 1).c_str())});
        } else if (a == "--deviation") {
            iq.deviation = number("--deviation", value());
        } else if (a == "--tone") {
            iq.tone = number("--tone", value());
        } else if (a == "--tone-on") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                die("--tone-on takes CHANNEL:HZ");
            iq.tones.push_back({(unsigned)number("--tone-on", v.substr(0, colon).c_str()),
                                number("--tone-on", v.substr(colon + 1).c_str())});
        } else if (a == "--no-carrier") {
            iq.dead.push_back((unsigned)number("--no-carrier", value()));
        } else if (a == "--sync") {
            std::string w = value();
            if (w != "standard" && w != "french")
                die("--sync takes standard or french");
            gen_sync = w == "french" ? 0xB433 : 0xC4D7;
        } else if (a == "--words") {
            words_path = value();
        } else if (a.size() > 1 && a[0] == '-') {
            die("unknown option '" + a + "'");
        } else {
            script_path = a;
        }
    }
    if (kind.empty())
        kind = kind_from_name(out);
    bool iq_kind = kind == "cu8" || kind == "cs16" || kind == "cf32";
    if (!iq_kind && (opt.rate < 1000 || opt.rate > 1000000))
        die("sample rate out of range");
    if (!inline_script) {
        std::stringstream ss;
        if (script_path.empty() || script_path == "-") {
            ss << std::cin.rdbuf();
        } else {
            std::ifstream f(script_path);
            if (!f)
                die(script_path + ": " + std::strerror(errno));
            ss << f.rdbuf();
        }
        script = ss.str();
    }

    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::vector<gen_mark_t> marks;
    std::string error;
    if (gen_script(script, &bits, &words, &error, &marks) != 0)
        die(error);

    if (!words_path.empty()) {
        FILE* w = std::fopen(words_path.c_str(), "w");
        if (!w)
            die(words_path + ": " + std::strerror(errno));
        for (long r = 0; r < repeat; r++)
            for (size_t i = 0; i + 3 < words.size(); i += 4)
                std::fprintf(w, "%04x %04x %04x %04x\n", words[i], words[i + 1], words[i + 2],
                             words[i + 3]);
        std::fclose(w);
    }

    if (iq_kind && faults)
        die("a receiver's faults (--tilt, --bandpass, --noise, --clicks, --hum, --drift) "
            "apply to audio only");
    if (iq_kind) {
        iq.rate = rate_given ? opt.rate : 2048000;
        if (iq.rate < 48000 || iq.rate > 100e6)
            die("IQ sample rate out of range");
        if (!center_given)
            iq.center = iq.control + 250000;
        if (level_given)
            iq.level = opt.level;
        iq.snr_db = opt.snr_db;
        iq.ppm = opt.ppm;
        iq.seed = opt.seed;
        iq.lead = opt.lead;
        iq.tail = opt.tail;
        gen_bits_t all;
        std::vector<gen_mark_t> all_marks;
        for (long r = 0; r < repeat; r++) {
            for (gen_mark_t m : marks) {
                m.end_bit += (long long)all.size();
                all_marks.push_back(m);
            }
            all.insert(all.end(), bits.begin(), bits.end());
        }
        FILE* f = out == "-" ? stdout : std::fopen(out.c_str(), "wb");
        if (!f)
            die(out + ": " + std::strerror(errno));
        if (gen_iq_write(all, all_marks, iq, kind, f, &error) != 0 ||
            (f == stdout ? std::fflush(f) : std::fclose(f)) != 0)
            die(out + ": write failed " + error);
        return 0;
    }

    bool raw = kind == "u8" || kind == "s16";
    if (!raw && out == "-")
        die(kind + " output needs a file name (-o FILE)");
    gen_stream_t g;
    std::vector<float> samples;
    if (gen_stream_begin(&g, opt, &error) != 0)
        die(error);
    FILE* f = nullptr;
    if (raw) {
        f = out == "-" ? stdout : std::fopen(out.c_str(), "wb");
        if (!f)
            die(out + ": " + std::strerror(errno));
    }
    // Raw output is streamed, a repetition at a time; containers are written whole.
    std::vector<float> chunk;
    for (long r = 0; r < repeat; r++) {
        chunk.clear();
        gen_stream_bits(&g, bits, &chunk);
        if (raw && !gen_write_raw(chunk, kind, f, &error))
            die(out + ": " + error);
        if (!raw)
            samples.insert(samples.end(), chunk.begin(), chunk.end());
    }
    chunk.clear();
    gen_stream_end(&g, &chunk);
    if (raw) {
        if (!gen_write_raw(chunk, kind, f, &error) ||
            (f == stdout ? std::fflush(f) : std::fclose(f)) != 0)
            die(out + ": write failed");
        return 0;
    }
    samples.insert(samples.end(), chunk.begin(), chunk.end());
    if (gen_write(samples, opt, kind, out, &error) != 0)
        die(error);
    return 0;
}
