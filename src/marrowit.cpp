// marrowit: reports, line by line, what an MPT 1327 control channel says.
//
//   marrowit             listen to the sound card
//   marrowit FILE        decode a recording
//   marrowit -           decode raw samples from standard input
//   marrowit udp:PORT    decode raw samples arriving in UDP datagrams
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "corr.h"

#ifndef MARROWIT_VERSION
#define MARROWIT_VERSION "unknown"
#endif

static void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: marrowit [OPTIONS] [FILE | - | udp:[ADDRESS:]PORT]\n"
                 "Decode the control channel of an MPT 1327 trunked radio network.\n"
                 "\n"
                 "  (no input)         listen to the sound card's recording input\n"
                 "  FILE               decode a recording (WAV, FLAC, AU, AIFF, ...; first\n"
                 "                     channel; any sample rate)%s\n"
                 "  -                  decode raw mono samples from standard input\n"
                 "  udp:[ADDRESS:]PORT decode raw mono samples sent in UDP datagrams to PORT\n"
                 "                     (ADDRESS 127.0.0.1 by default; 0.0.0.0 listens on every\n"
                 "                     interface) until stopped with Ctrl-C or SIGTERM%s\n"
                 "\n"
                 "Options:\n"
                 "  --format FMT       raw sample format: u8 (unsigned 8-bit) or s16le (signed\n"
                 "                     16-bit little endian); default u8 on standard input,\n"
                 "                     s16le in datagrams\n"
                 "  --rate HZ          raw sample rate (default 10800 on standard input, 48000\n"
                 "                     in datagrams)\n"
                 "  --device NAME      capture device for live listening (default: the\n"
                 "                     system's default recording device)\n"
                 "  -h, --help         show this help and exit\n"
                 "  -V, --version      show the version and exit\n"
                 "\n"
                 "Settings are read from solvane.ini in the current directory; with LOG=1\n"
                 "report lines are mirrored into logfile.txt there.\n",
                 audio_can_read_files ? "" : "\n                     (not in this build: use -)",
                 audio_can_receive_udp ? "" : "\n                     (not in this build)");
}

static void usage_error(const char* what, const char* arg)
{
    std::fprintf(stderr, "marrowit: %s '%s' (see 'marrowit --help')\n", what, arg);
    std::exit(2);
}

// The value of an option given as "--name VALUE" or "--name=VALUE".
static const char* option_value(int argc, char** argv, int* i, const char* name)
{
    size_t len = std::strlen(name);
    const char* arg = argv[*i];
    if (arg[len] == '=')
        return arg + len + 1;
    if (*i + 1 >= argc)
        usage_error("missing value for option", name);
    return argv[++*i];
}

static bool is_option(const char* arg, const char* name)
{
    size_t len = std::strlen(name);
    return std::strncmp(arg, name, len) == 0 && (arg[len] == 0 || arg[len] == '=');
}

static void parse_args(int argc, char** argv)
{
    bool format_given = false, rate_given = false;
    const char* input = nullptr;
    bool end_of_options = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (end_of_options || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            if (input)
                usage_error("more than one input given:", arg);
            input = arg;
        } else if (std::strcmp(arg, "--") == 0) {
            end_of_options = true;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            usage(stdout);
            std::exit(0);
        } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
            std::printf("marrowit %s\n", MARROWIT_VERSION);
            std::exit(0);
        } else if (is_option(arg, "--format")) {
            const char* v = option_value(argc, argv, &i, "--format");
            if (std::strcmp(v, "u8") == 0)
                audio_source.format = RAW_U8;
            else if (std::strcmp(v, "s16le") == 0)
                audio_source.format = RAW_S16LE;
            else
                usage_error("unknown sample format", v);
            format_given = true;
        } else if (is_option(arg, "--rate")) {
            const char* v = option_value(argc, argv, &i, "--rate");
            char* end = nullptr;
            long rate = std::strtol(v, &end, 10);
            if (!*v || *end || rate < 1000 || rate > 1000000)
                usage_error("invalid sample rate (1000 to 1000000 Hz)", v);
            audio_source.rate = (int)rate;
            rate_given = true;
        } else if (is_option(arg, "--device")) {
            audio_source.device = option_value(argc, argv, &i, "--device");
        } else {
            usage_error("unknown option", arg);
        }
    }
    bool raw_options = format_given || rate_given;
    std::string address;
    int port;
    if (!input) {
        if (raw_options)
            usage_error("--format and --rate describe raw samples; give the input as", "-");
        audio_source.kind = AUDIO_LIVE;
    } else if (std::strcmp(input, "-") == 0) {
        audio_source.kind = AUDIO_PIPE;
    } else if (std::strncmp(input, "udp:", 4) == 0) {
        if (!udp_split(input + 4, &address, &port))
            usage_error("UDP input is udp:[ADDRESS:]PORT with PORT 1 to 65535, not", input);
        audio_source.kind = AUDIO_UDP;
        audio_source.path = input + 4;
        // What SDR programs send: signed 16-bit at 48000 Hz.
        if (!format_given)
            audio_source.format = RAW_S16LE;
        if (!rate_given)
            audio_source.rate = 48000;
    } else {
        if (raw_options)
            usage_error("--format and --rate describe raw samples, not the recording", input);
        audio_source.kind = AUDIO_FILE;
        audio_source.path = input;
    }
}

int main(int argc, char** argv)
{
    parse_args(argc, argv);
    comm_info_t info = {1200, 1800, 1200, 2};
    corr(nullptr, &info);
    return 0;
}
