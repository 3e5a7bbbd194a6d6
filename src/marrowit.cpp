// marrowit: reports, line by line, what an MPT 1327 control channel says.
//
//   marrowit             listen to the sound card
//   marrowit FILE        decode a recording
//   marrowit -           decode raw samples from standard input
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "corr.h"
#include "events/mqtt.h"
#include "events/output.h"

#ifndef MARROWIT_VERSION
#define MARROWIT_VERSION "unknown"
#endif

static void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: marrowit [OPTIONS] [FILE | -]\n"
                 "Decode the control channel of an MPT 1327 trunked radio network.\n"
                 "\n"
                 "  (no input)         listen to the sound card's recording input\n"
                 "  FILE               decode a recording (WAV, FLAC, AU, AIFF, ...; first\n"
                 "                     channel; any sample rate)%s\n"
                 "  -                  decode raw mono samples from standard input\n"
                 "\n"
                 "Options:\n"
                 "  --format FMT       raw sample format on standard input: u8 (unsigned\n"
                 "                     8-bit, the default) or s16le (signed 16-bit little endian)\n"
                 "  --rate HZ          raw sample rate on standard input (default 10800)\n"
                 "  --device NAME      capture device for live listening (default: the\n"
                 "                     system's default recording device)\n"
                 "  --json FILE        append every report, call start and end, and the\n"
                 "                     statistics of every minute of input to FILE as JSON\n"
                 "                     lines; - for standard output, which then carries\n"
                 "                     only JSON (the console report is not printed)\n"
                 "  --mqtt HOST[:PORT] publish the same JSON objects to an MQTT broker (port\n"
                 "                     1883 by default), QoS 1, to the topic\n"
                 "                     marrowit/SYS/TYPE; [mqtt] USER, PASSWORD and TOPIC\n"
                 "                     in the settings file%s\n"
                 "  -h, --help         show this help and exit\n"
                 "  -V, --version      show the version and exit\n"
                 "\n"
                 "Settings are read from solvane.ini in the current directory; with LOG=1\n"
                 "report lines are mirrored into logfile.txt there.\n",
                 audio_can_read_files ? "" : "\n                     (not in this build: use -)",
                 mqtt_available ? "" : "\n                     (not in this build)");
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

static const char* json_path;
static const char* mqtt_host;

static void parse_args(int argc, char** argv)
{
    bool raw_options = false;
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
            raw_options = true;
        } else if (is_option(arg, "--rate")) {
            const char* v = option_value(argc, argv, &i, "--rate");
            char* end = nullptr;
            long rate = std::strtol(v, &end, 10);
            if (!*v || *end || rate < 1000 || rate > 1000000)
                usage_error("invalid sample rate (1000 to 1000000 Hz)", v);
            audio_source.rate = (int)rate;
            raw_options = true;
        } else if (is_option(arg, "--device")) {
            audio_source.device = option_value(argc, argv, &i, "--device");
        } else if (is_option(arg, "--json")) {
            json_path = option_value(argc, argv, &i, "--json");
        } else if (is_option(arg, "--mqtt")) {
            mqtt_host = option_value(argc, argv, &i, "--mqtt");
        } else {
            usage_error("unknown option", arg);
        }
    }
    if (!input) {
        if (raw_options)
            usage_error("--format and --rate describe standard input; give it as", "-");
        audio_source.kind = AUDIO_LIVE;
    } else if (std::strcmp(input, "-") == 0) {
        audio_source.kind = AUDIO_PIPE;
    } else {
        if (raw_options)
            usage_error("--format and --rate describe standard input, not the recording", input);
        audio_source.kind = AUDIO_FILE;
        audio_source.path = input;
    }
}

int main(int argc, char** argv)
{
    parse_args(argc, argv);
    if (mqtt_host && mqtt_open(mqtt_host) != 0)
        return 2;
    if (json_path && events_json(json_path) != 0)
        return 255;
    events_start();
    comm_info_t info = {1200, 1800, 1200, 2};
    corr(nullptr, &info);
    return 0;
}
