// Machine-readable output: the sink behind --json and --mqtt, and the
// reception statistics.
#include "events/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "events/json.h"
#include "events/mqtt.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "mpt1327/output.h"
#include "mpt1327/decoder.h"

static FILE* json_file;
static std::string json_path;
static bool json_trouble;

// Every JSON line reaches its file (or standard output) here.  A file that
// cannot be written does not stop the decoder: the trouble is said once,
// until a write gets through.  Standard output is the exception: it
// carries nothing but the JSON lines, so a failure there ends the program
// as a failure of the console does.
static void json_write(const std::string& line)
{
    bool ok = std::fwrite(line.data(), 1, line.size(), json_file) == line.size() &&
              std::fputc('\n', json_file) != EOF && std::fflush(json_file) == 0;
    if (!ok && json_file == stdout)
        output_check(stdout);
    if (!ok) {
        if (!json_trouble)
            std::fprintf(stderr, "marrowit: cannot write %s: %s; JSON lines are missing from it\n",
                         json_path.c_str(), std::strerror(errno));
        json_trouble = true;
        std::clearerr(json_file);
    } else {
        json_trouble = false;
    }
}

int events_json(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        json_file = stdout;
        json_path = "standard output";
        console_silence();
        return 0;
    }
    json_file = std::fopen(path, "ab");
    json_path = path;
    if (!json_file) {
        std::fprintf(stderr, "marrowit: cannot open %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

static void sink(const event_t& e)
{
    static std::string line;
    json_line(&line, e, json_record_time());
    if (json_file)
        json_write(line);
    mqtt_publish(e, line);
}

// ---- statistics -----------------------------------------------------------

static unsigned long long stats_sample;  // input time of the last statistics
static decode_counts_t stats_last;       // the counts then
// One decoder's (mpt1327/decoder.h): each system has its statistics.
decoder_var(stats_sample);
decoder_var(stats_last);

void events_stats()
{
    event_t e;
    e.type = "stats";
    auto count = [&](const char* name, unsigned long long now, unsigned long long then) {
        e.fields.push_back(event_field_t{name, EVENT_INT, (long long)(now - then), 0, 0, {}});
    };
    e.fields.push_back(event_field_t{"seconds", EVENT_REAL, 0,
                                     (double)(input_sample - stats_sample) / INPUT_RATE, 3, {}});
    count("syncs", decode_counts.syncs, stats_last.syncs);
    count("passed", decode_counts.passed, stats_last.passed);
    count("failed", decode_counts.failed, stats_last.failed);
    event_field_t systems{"systems", EVENT_LIST, 0, 0, 0, {}};
    for (unsigned short s : decode_counts.systems) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%4.4x", s);
        systems.items.push_back(text);
    }
    e.fields.push_back(systems);
    stats_sample = input_sample;
    stats_last = decode_counts;
    event_publish(e);
}

static void stats_tick()
{
    if (input_sample - stats_sample >= (unsigned long long)STATS_SECONDS * INPUT_RATE)
        events_stats();
}

static void at_end()
{
    if (input_sample > stats_sample)
        events_stats();
    mqtt_finish();
}

bool events_stats_wanted;
static bool events_started;

void events_stats_restart()
{
    stats_sample = input_sample;
    stats_last = decode_counts;
}

void events_stats_end()
{
    if (events_started && input_sample > stats_sample)
        events_stats();
}

void events_start()
{
    if (!json_file && !mqtt_enabled() && !events_stats_wanted)
        return;
    events_started = true;
    if (json_file || mqtt_enabled())
        event_add_sink(sink);
    input_add_ticker(stats_tick);
    input_add_end(at_end);
}

void events_reset()
{
    if (json_file && json_file != stdout)
        std::fclose(json_file);
    json_file = nullptr;
    json_trouble = false;
    events_stats_wanted = false;
    events_started = false;
    stats_sample = 0;
    stats_last = decode_counts_t{};
}
