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

static void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: mptgen [OPTIONS] [SCRIPT | -]\n"
                 "Render MPT 1327 codewords as 1200 baud FFSK audio.\n"
                 "\n"
                 "  -e LINE         a script line (repeatable; instead of SCRIPT)\n"
                 "  -o FILE         output file (default: raw samples on standard output)\n"
                 "  -t KIND         u8, s16 (raw), wav (8-bit), wav16, au, flac, aiff;\n"
                 "                  default from the file name, else u8\n"
                 "  --rate HZ       sample rate (10800)\n"
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
                 "Script lines: ccsc SYS, dcsc SYS, aloha|ack|req|bcast|maint|move|sam|head|\n"
                 "gtc|clear field=value..., words W1 W2 W3 [W4], bits 0101..., preamble N,\n"
                 "silence N, random N [seed=S] [sys=SYS], sync standard|french;\n"
                 "set=FIRST-LAST:VALUE and flip=N\n"
                 "modify a codeword; '#' starts a comment.\n");
}

static void die(const std::string& why)
{
    std::fprintf(stderr, "mptgen: %s\n", why.c_str());
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
    if (ext == "wav" || ext == "au" || ext == "flac" || ext == "aiff" || ext == "s16")
        return ext;
    return "u8";
}

int main(int argc, char** argv)
{
    gen_audio_t opt;
    std::string out = "-", kind, script, words_path, script_path;
    long repeat = 1;
    bool inline_script = false;
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
        } else if (a == "--level") {
            opt.level = number("--level", value());
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
    if (opt.rate < 1000 || opt.rate > 1000000)
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
    if (kind.empty())
        kind = kind_from_name(out);

    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::string error;
    if (gen_script(script, &bits, &words, &error) != 0)
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

    bool raw = kind == "u8" || kind == "s16";
    if (!raw && out == "-")
        die(kind + " output needs a file name (-o FILE)");
    gen_stream_t g;
    std::vector<float> samples;
    gen_stream_begin(&g, opt);
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
