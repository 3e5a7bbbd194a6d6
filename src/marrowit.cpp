// marrowit: reports, line by line, what an MPT 1327 control channel says.
//
//   marrowit             listen to the sound card
//   marrowit FILE        decode a recording
//   marrowit -           decode raw samples from standard input
//   marrowit iq:FILE     decode the control channel of an IQ recording
//   marrowit sdr:ARGS    ... of a live SDR
//   marrowit udp:PORT    decode raw samples arriving in UDP datagrams
//   marrowit mqtt:HOST   take in the records other receivers publish
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "corr.h"
#include "mpt1327/output.h"
#include "play/play.h"
#include "mpt1327/summary.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "sdr/sdr.h"
#include "events/mqtt.h"
#include "events/json.h"
#include "events/output.h"
#include "web/web.h"
#include "db/db.h"
#include "names/names.h"

#ifndef MARROWIT_VERSION
#define MARROWIT_VERSION "unknown"
#endif

static void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: marrowit [OPTIONS] [FILE | - | udp:[ADDRESS:]PORT | iq:FILE | sdr:ARGS |\n"
                 "                         mqtt:HOST[:PORT]]\n"
                 "Decode the control channel of an MPT 1327 trunked radio network.\n"
                 "\n"
                 "  (no input)         listen to the sound card's recording input\n"
                 "  FILE               decode a recording (WAV, FLAC, AU, AIFF, ...; first\n"
                 "                     channel; 1000 Hz to 1 MHz)%s\n"
                 "  -                  decode raw mono samples from standard input\n"
                 "  iq:FILE            decode the control channel in a raw IQ recording\n"
                 "                     (iq:- reads standard input)%s\n"
                 "  sdr:ARGS           ... received live by a SoapySDR device (ARGS: its\n"
                 "                     device arguments, e.g. driver=rtlsdr)%s\n"
                 "  udp:[ADDRESS:]PORT decode raw mono samples sent in UDP datagrams to PORT\n"
                 "                     (ADDRESS 127.0.0.1 by default; 0.0.0.0 listens on every\n"
                 "                     interface) until stopped with Ctrl-C or SIGTERM%s\n"
                 "  mqtt:HOST[:PORT]   take the records other receivers publish to the MQTT\n"
                 "                     broker (under [mqtt] TOPIC) instead of decoding, for\n"
                 "                     --json, --db; until stopped%s\n"
                 "\n"
                 "Options:\n"
                 "  --format FMT       raw sample format: u8 (unsigned 8-bit) or s16le (signed\n"
                 "                     16-bit little endian); default u8 on standard input,\n"
                 "                     s16le in datagrams; of an IQ recording: cu8 (the\n"
                 "                     default), cs16 or cf32\n"
                 "  --rate HZ          raw sample rate (default 10800 on standard input, 48000\n"
                 "                     in datagrams); IQ sample rate (default 2048000)\n"
                 "  --device NAME      capture device for live listening (default: the\n"
                 "                     system's default recording device)\n"
                 "  -q, --quiet        no summary on standard error at the end of the input\n"
                 "  --center HZ        IQ: the frequency at the centre of the band (required)\n"
                 "  --gain DB          sdr: receiver gain (default automatic)\n"
                 "  --ppm N            IQ: the receiver's frequency error in parts per million\n"
                 "                     (default 0)\n"
                 "  --record DIR       IQ: write every followed call inside the band to DIR as\n"
                 "                     a WAV file\n"
                 "  --all              IQ: decode every control channel found in the band,\n"
                 "                     each system with its own calls and recordings; the\n"
                 "                     console shows the first, JSON and MQTT all of them\n"
                 "  --play DEVICE      IQ: play the newest followed call on the sound device\n"
                 "                     (default: the system's default output); an iq:FILE\n"
                 "                     recording is then read at the pace it was captured%s\n"
                 "  --json FILE        append every report, call start and end, and the\n"
                 "                     statistics of every minute of input to FILE as JSON\n"
                 "                     lines; - for standard output, which then carries\n"
                 "                     only JSON (the console report is not printed)\n"
                 "  --mqtt HOST[:PORT] publish the same JSON objects to an MQTT broker (port\n"
                 "                     1883 by default), QoS 1, to the topic\n"
                 "                     marrowit/SYS/TYPE; [mqtt] USER, PASSWORD and TOPIC\n"
                 "                     in the settings file%s\n"
                 "  --http [ADDRESS:]PORT\n"
                 "                     serve a live web page of the systems, calls and\n"
                 "                     events, and its JSON API, on PORT (ADDRESS 127.0.0.1\n"
                 "                     by default; [::1]:PORT for IPv6); with [http] USER\n"
                 "                     and PASSWORD in the settings file it asks for them%s\n"
                 "  --db FILE          keep every call, the other records and the statistics\n"
                 "                     in the SQLite database FILE (made when missing);\n"
                 "                     [db] KEEP_DAYS in the settings file%s\n"
                 "  --aliases FILE     names for units and groups (CSV: system, prefix, ident\n"
                 "                     or range, name), added to the records, the database\n"
                 "                     and recorded calls' file names; read again when changed\n"
                 "  -h, --help         show this help and exit\n"
                 "  -V, --version      show the version and exit\n"
                 "\n"
                 "Settings are read from solvane.ini in the current directory; with LOG=1\n"
                 "report lines are mirrored into logfile.txt there.  Without RADIO in its\n"
                 "[rs232] section the receiver is tuned with command set 1 on serial port 1;\n"
                 "RADIO=0 tunes nothing.\n"
                 "The manual page marrowit(1) describes every option and setting.\n",
                 audio_can_read_files ? "" : "\n                     (not in this build: use -)",
                 sdr_can_demodulate ? "" : " (not in this build)",
                 sdr_can_open_devices ? "" : "\n                     (not in this build)",
                 audio_can_receive_udp ? "" : "\n                     (not in this build)",
                 mqtt_input_available ? "" : " (not in this build)",
                 play_available && sdr_can_demodulate ? "" : "\n                     (not in this build)",
                 mqtt_available ? "" : "\n                     (not in this build)",
                 web_available ? "" : "\n                     (not in this build)",
                 db_available ? "" : "\n                     (not in this build)");
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

static double number_value(const char* v, const char* what)
{
    char* end = nullptr;
    double x = std::strtod(v, &end);
    if (!*v || *end || !(x == x))
        usage_error(what, v);
    return x;
}

// A frequency or sample rate in Hz, optionally with k, M or G as SDR tools
// take it: "420.5M" is 420500000.
static double hz_value(const char* v, const char* what)
{
    char* end = nullptr;
    double x = std::strtod(v, &end);
    if (end != v && *end && std::strchr("kMG", *end) && !end[1])
        x *= *end++ == 'k' ? 1e3 : end[-1] == 'M' ? 1e6 : 1e9;
    if (!*v || *end || !std::isfinite(x))
        usage_error(what, v);
    return x;
}

static bool starts_with(const char* s, const char* prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// The options of IQ input, given to another input.
static const char* iq_only_option;
static const char* json_path;
static const char* mqtt_host;
static const char* http_where;
static std::string http_address;
static int http_port;
static const char* db_path;
static const char* aliases_path;
static const char* mqtt_input;

static void parse_args(int argc, char** argv)
{
    const char* format = nullptr;
    const char* rate = nullptr;
    bool center = false;
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
            output_check(stdout);
            std::exit(0);
        } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
            std::printf("marrowit %s\n", MARROWIT_VERSION);
            output_check(stdout);
            std::exit(0);
        } else if (is_option(arg, "--format")) {
            format = option_value(argc, argv, &i, "--format");
        } else if (is_option(arg, "--rate")) {
            rate = option_value(argc, argv, &i, "--rate");
        } else if (is_option(arg, "--device")) {
            audio_source.device = option_value(argc, argv, &i, "--device");
        } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
            summary_quiet = true;
        } else if (is_option(arg, "--center")) {
            const char* hint = "invalid centre frequency (1M to 10G Hz, as in 420.5M or 420500000)";
            const char* v = option_value(argc, argv, &i, "--center");
            sdr_options.center = hz_value(v, hint);
            if (!(sdr_options.center >= 1e6 && sdr_options.center <= 10e9))
                usage_error(hint, v);
            center = true;
            iq_only_option = "--center";
        } else if (is_option(arg, "--gain")) {
            sdr_options.gain = number_value(option_value(argc, argv, &i, "--gain"), "invalid gain");
            sdr_options.gain_auto = false;
            iq_only_option = "--gain";
        } else if (is_option(arg, "--ppm")) {
            sdr_options.ppm = number_value(option_value(argc, argv, &i, "--ppm"),
                                           "invalid frequency error");
            if (!(std::fabs(sdr_options.ppm) < 1000))
                usage_error("invalid frequency error", argv[i]);
            iq_only_option = "--ppm";
        } else if (is_option(arg, "--record")) {
            sdr_options.record_dir = option_value(argc, argv, &i, "--record");
            iq_only_option = "--record";
        } else if (std::strcmp(arg, "--all") == 0) {
            sdr_options.all = true;
            if (!sdr_can_demodulate)
                usage_error("--all is not in this build:", arg);
        } else if (is_option(arg, "--play")) {
            sdr_options.play_device = option_value(argc, argv, &i, "--play");
            if (!play_available)
                usage_error("--play is not in this build:", sdr_options.play_device);
        } else if (is_option(arg, "--json")) {
            json_path = option_value(argc, argv, &i, "--json");
        } else if (is_option(arg, "--mqtt")) {
            mqtt_host = option_value(argc, argv, &i, "--mqtt");
        } else if (is_option(arg, "--http")) {
            http_where = option_value(argc, argv, &i, "--http");
            if (!web_split(http_where, &http_address, &http_port))
                usage_error("--http is [ADDRESS:]PORT with PORT 1 to 65535 ([::1]:PORT for IPv6), not",
                            http_where);
        } else if (is_option(arg, "--aliases")) {
            aliases_path = option_value(argc, argv, &i, "--aliases");
        } else if (is_option(arg, "--db")) {
            db_path = option_value(argc, argv, &i, "--db");
        } else {
            usage_error("unknown option", arg);
        }
    }

    if (input && starts_with(input, "mqtt:")) {
        if (sdr_options.all)
            usage_error("--all decodes every control channel of a band and needs IQ input (iq: or "
                        "sdr:), not",
                        input);
        if (iq_only_option)
            usage_error("this option is for iq: and sdr: input:", iq_only_option);
        if (format || rate)
            usage_error("--format and --rate describe samples, not the input", input);
        if (audio_source.device)
            usage_error("--device is for live listening, not with the input", input);
        if (mqtt_host)
            usage_error("--mqtt would publish again what the input takes in:", input);
        mqtt_input = input + 5;
        return;
    }
    if (input && (starts_with(input, "iq:") || starts_with(input, "sdr:"))) {
        audio_source.kind = AUDIO_IQ;
        if (audio_source.device)
            usage_error("--device is for live listening, not with the input", input);
        if (starts_with(input, "iq:")) {
            sdr_options.path = input + 3;
            if (!*sdr_options.path)
                usage_error("iq: names a recording, as in", "iq:capture.cu8");
        } else {
            sdr_options.device_args = input + 4;
        }
        if (!center)
            usage_error("IQ input needs --center HZ:", input);
        if (sdr_options.path && !sdr_options.gain_auto)
            usage_error("--gain sets a receiver's gain, for sdr: input, not", input);
        summary_iq = true;
        if (format) {
            if (std::strcmp(format, "cu8") == 0)
                sdr_options.format = IQ_CU8;
            else if (std::strcmp(format, "cs16") == 0)
                sdr_options.format = IQ_CS16;
            else if (std::strcmp(format, "cf32") == 0)
                sdr_options.format = IQ_CF32;
            else
                usage_error("unknown IQ sample format", format);
            if (sdr_options.device_args)
                usage_error("--format describes an IQ recording, not", input);
        }
        if (rate) {
            double r = hz_value(rate, "invalid IQ sample rate (48000 to 100000000 Hz)");
            if (!(r >= 48000 && r <= 100e6))
                usage_error("invalid IQ sample rate (48000 to 100000000 Hz)", rate);
            sdr_options.rate = r;
        }
        return;
    }
    // The calls are heard only in IQ input: with any other input the
    // receiver plays them itself.
    if (sdr_options.play_device)
        usage_error("--play plays the followed call of IQ input (iq: or sdr:) and has nothing "
                    "to play from",
                    input ? input : "the sound card");
    if (iq_only_option)
        usage_error("this option is for iq: and sdr: input:", iq_only_option);
    // Several control channels come only in a band.
    if (sdr_options.all)
        usage_error("--all decodes every control channel of a band and needs IQ input (iq: or "
                    "sdr:), not",
                    input ? input : "the sound card");
    if (format) {
        if (std::strcmp(format, "u8") == 0)
            audio_source.format = RAW_U8;
        else if (std::strcmp(format, "s16le") == 0)
            audio_source.format = RAW_S16LE;
        else
            usage_error("unknown sample format", format);
    }
    if (rate) {
        char* end = nullptr;
        long r = std::strtol(rate, &end, 10);
        if (!*rate || *end || r < 1000 || r > 1000000)
            usage_error("invalid sample rate (1000 to 1000000 Hz)", rate);
        audio_source.rate = (int)r;
    }
    bool raw_options = format || rate;
    std::string address;
    int port;
    if (!input) {
        if (raw_options)
            usage_error("--format and --rate describe raw samples; give the input as", "-");
        audio_source.kind = AUDIO_LIVE;
    } else if (audio_source.device) {
        usage_error("--device is for live listening, not with the input", input);
    } else if (std::strcmp(input, "-") == 0) {
        audio_source.kind = AUDIO_PIPE;
    } else if (std::strncmp(input, "udp:", 4) == 0) {
        if (!udp_split(input + 4, &address, &port))
            usage_error("UDP input is udp:[ADDRESS:]PORT with PORT 1 to 65535, not", input);
        audio_source.kind = AUDIO_UDP;
        audio_source.path = input + 4;
        // What SDR programs send: signed 16-bit at 48000 Hz.
        if (!format)
            audio_source.format = RAW_S16LE;
        if (!rate)
            audio_source.rate = 48000;
    } else {
        if (raw_options)
            usage_error("--format and --rate describe raw samples, not the recording", input);
        audio_source.kind = AUDIO_FILE;
        audio_source.path = input;
    }
}

// The web page's history read from the database: each call with the
// wall-clock time it ended, as the page shows the live ones.
static long long history_from_db(const call_query_t& query, std::vector<event_t>* calls)
{
    std::vector<long long> end_ms;
    long long total = db_call_history_times(query, calls, &end_ms);
    for (size_t k = 0; k < calls->size() && k < end_ms.size(); k++) {
        event_field_t time{};
        time.name = "time";
        time.kind = EVENT_TEXT;
        time.text = json_utc(end_ms[k]);
        (*calls)[k].fields.insert((*calls)[k].fields.begin(), time);
    }
    return total;
}

int main(int argc, char** argv)
{
    parse_args(argc, argv);
    output_check_open();
    if (mqtt_host && mqtt_open(mqtt_host) != 0)
        return 2;
    if (mqtt_input && mqtt_input_open(mqtt_input) != 0)
        return 2;
    if (aliases_path && names_open(aliases_path) != 0)
        return 2;
    if (db_path && db_open(db_path) != 0)
        return 2;
    if (json_path && events_json(json_path) != 0)
        return 255;
    // The page's call history from the database, when there is one, so
    // that it survives a restart.
    if (db_path)
        web_call_history = history_from_db;
    if (http_where && web_open(http_address, http_port, sdr_options.record_dir) != 0)
        return 255;
    // A recording waits for the database rather than losing records.
    db_wait_for_room = audio_source.kind == AUDIO_FILE ||
                       (sdr_options.path && std::strcmp(sdr_options.path, "-") != 0);
    events_stats_wanted = http_where != nullptr || db_path != nullptr;
    events_start();
    if (http_where)
        input_add_end(web_finish);
    if (db_path)
        db_start();
    if (mqtt_input)
        return mqtt_input_run();
    comm_info_t info = {1200, 1800, 1200, 2};
    input_add_ticker(timeout_tick);
    corr(nullptr, &info);
    return 0;
}
