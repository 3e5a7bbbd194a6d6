// mqtt:HOST[:PORT] as the input: messages read back into records (and those
// that are not records); two real receivers publishing generated
// recordings through a real broker, taken in by a third program with --json
// and --db, each receiver kept apart; a broker that is gone for good.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>

#include "db/db.h"
#include "events/json.h"
#include "events/mqtt.h"
#include "harness.h"
#include "procs.h"
#include "traffic.h"

namespace {

using json = nlohmann::json;

const char* line_gtc =
    "{\"time\":\"2026-12-07T08:39:53.966Z\",\"offset\":0.240,\"sys\":\"0x1234\",\"type\":\"GTC\","
    "\"prefix\":12,\"ident1\":345,\"ident2\":678,\"channel\":42,\"freq\":420.5250,\"data\":false,"
    "\"followed\":false}";
const char* line_stats =
    "{\"time\":\"2026-12-07T23:59:59.999Z\",\"offset\":0.573,\"sys\":null,\"type\":\"stats\","
    "\"seconds\":0.573,\"syncs\":5,\"passed\":10,\"failed\":0,\"systems\":[\"0x1234\",\"0xabcd\"]}";
const char* line_name =
    "{\"time\":\"2026-02-28T00:00:00.000Z\",\"offset\":1.000,\"sys\":\"0xabcd\",\"type\":\"identity\","
    "\"sysid\":43981,\"name\":\"Z\\u00fcrich \\\"<b>\\\"\\n\",\"cch_freq\":420.0000,\"x\":null,"
    "\"big\":1e5}";

TEST(MqttInput, MessagesReadBackIntoRecords)
{
    if (!mqtt_input_available)
        GTEST_SKIP() << "no mqtt: input in this build";
    struct {
        std::string topic, payload;
        std::string back;  // the record written again; empty: not a record
        const char* why;
    } cases[] = {
        {"marrowit/1234/GTC", line_gtc, line_gtc, ""},
        {"marrowit/north/1234/GTC", line_gtc, line_gtc, ""},
        {"marrowit/a/b/none/stats", line_stats, line_stats, ""},
        {"marrowit/abcd/identity", line_name, "", ""},
        {"marrowit/1234/CLEAR", line_gtc, "", "the topic does not end in the record's system and type"},
        {"marrowit/4321/GTC", line_gtc, "", "the topic does not end in the record's system and type"},
        {"other/1234/GTC", line_gtc, "", "not <TOPIC>/<SYS>/<type>"},
        {"marrowit/GTC", line_gtc, "", "not <TOPIC>/<SYS>/<type>"},
        {"marrowit/1234/GTC", "{\"time\":\"x\",\"type\":\"GTC\"}", "", "'time' is not a UTC time"},
        {"marrowit/none/GTC", "{\"type\":\"GTC\"}", "", "no 'type' or 'time'"},
        {"marrowit/1234/GTC", "{\"sys\":\"1234\"}", "", "'sys' is not an identity such as 0x1234"},
        {"marrowit/1234/GTC", "{\"a\":{\"b\":1}}", "", "an object inside the record"},
        {"marrowit/1234/GTC", "{\"a\":[1]}", "", "'a' is a number"},
        {"marrowit/1234/GTC", "{\"a\":[[\"x\"]]}", "", "a list that is not a list of texts"},
        {"marrowit/1234/GTC", "ready", "", "not JSON"},
        {"marrowit/1234/GTC", "[1,2]", "", "a list that is not a list of texts"},
        {"marrowit/1234/GTC", "", "", "not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.topic + " " + c.payload);
        event_t e;
        long long ms = 0;
        std::string why;
        bool ok = mqtt_record("marrowit", c.topic, c.payload, &e, &ms, &why);
        EXPECT_EQ(ok, std::string(c.why).empty());
        EXPECT_EQ(why, c.why);
        if (!ok)
            continue;
        std::string source = c.topic.substr(0, c.topic.rfind('/', c.topic.rfind('/') - 1));
        EXPECT_EQ(e.source, source);
        // Written again, the record is the one sent with its source.
        std::string expected = c.back.empty() ? json::parse(c.payload).dump() : c.back;
        std::string got = json_line(e, ms);
        size_t at = got.find(",\"source\":");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(got.substr(at, 12 + source.size()), ",\"source\":\"" + source + "\"");
        got.erase(at, 12 + source.size());
        if (c.back.empty())
            EXPECT_EQ(json::parse(got), json::parse(c.payload));  // numbers as 1e5 come back as 100000.000000
        else
            EXPECT_EQ(got, expected);
    }
}

// A control channel with voice calls of the given idents, system sysid.
std::string receiver_traffic(unsigned sysid, int first_ident, int calls)
{
    std::vector<call_plan_t> plan;
    for (int k = 0; k < calls; k++)
        plan.push_back({10 + k % 3, 6 * k, 6 * k + 5, first_ident + k, 9});
    return traffic(6 * calls, plan, sysid);
}

std::string without_source(std::string line)
{
    size_t at = line.find(",\"source\":\"");
    if (at != std::string::npos)
        line.erase(at, line.find('"', at + 11) + 1 - at);
    return line;
}

TEST(MqttInput, TwoReceiversThroughABrokerKeptApart)
{
    if (!mqtt_input_available || !have("mosquitto"))
        GTEST_SKIP() << "no mqtt: input in this build, or no mosquitto";
    temp_dir_t dir;
    broker_t broker(dir, false);
    const std::string at = "127.0.0.1:" + std::to_string(broker.port);
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    std::vector<std::string> args = {"--json", "all.jsonl", "mqtt:" + at};
    if (db_available)
        args.insert(args.begin(), {"--db", "all.db"});
    args.insert(args.begin(), marrowit_path());
    child_t gatherer;
    gatherer.start(args, dir.path, dir.file("out"), dir.file("err"));
    const std::string taking = "marrowit: taking records from the MQTT broker " + at + ", topic marrowit/#\n";
    ASSERT_TRUE(eventually([&] { return read_file(dir.file("err")) == taking; }, 10)) << read_file(dir.file("err"));

    // Two receivers of the same system, and one of them of a second system too.
    struct {
        const char* name;
        std::string audio;
    } receivers[] = {
        {"north", render_u8(receiver_traffic(0x1234, 100, 6))},
        {"south", render_u8(receiver_traffic(0x1234, 200, 4) + receiver_traffic(0x2345, 300, 3))},
    };
    std::map<std::string, std::vector<std::string>> sent;
    size_t total = 0;
    for (const auto& r : receivers) {
        std::string home = dir.file(r.name);
        mkdir(home.c_str(), 0755);
        write_file(home + "/solvane.ini", std::string("[general]\nFILTER=2\n[rs232]\nRADIO=0\n[mqtt]\nTOPIC=marrowit/") +
                                              r.name + "\n");
        run_result_t rx = run_program(marrowit_path(), {"-q", "--json", "sent.jsonl", "--mqtt", at, "-"}, home, r.audio);
        ASSERT_EQ(rx.status, 0) << rx.err;
        EXPECT_EQ(rx.err, "");
        sent[std::string("marrowit/") + r.name] = lines_of(read_file(home + "/sent.jsonl"));
        total += sent[std::string("marrowit/") + r.name].size();
    }
    ASSERT_TRUE(eventually([&] { return lines_of(read_file(dir.file("all.jsonl"))).size() >= total; }, 20));
    EXPECT_EQ(gatherer.wait(SIGTERM), 0);
    EXPECT_EQ(read_file(dir.file("err")),
              taking + "marrowit: mqtt:" + at + ": " + std::to_string(total) +
                  " records from 2 receivers (marrowit/north, marrowit/south)\n");
    EXPECT_EQ(read_file(dir.file("out")), "");

    // Each receiver's records, byte for byte with their own time, in the
    // order sent, with the source added.
    std::map<std::string, std::vector<std::string>> got;
    for (const std::string& line : lines_of(read_file(dir.file("all.jsonl")))) {
        json o = json::parse(line);
        got[o["source"]].push_back(without_source(line));
    }
    EXPECT_EQ(got, sent);

    if (!db_available)
        return;
    ASSERT_EQ(db_open(dir.file("all.db").c_str()), 0);
    std::vector<event_t> calls;
    std::vector<long long> ms;
    ASSERT_EQ(db_call_history_times(call_query_t{-1, -1, 0, 100}, &calls, &ms), 13);
    std::map<std::string, std::vector<std::string>> calls_by_source;
    for (size_t k = calls.size(); k-- > 0;)
        calls_by_source[calls[k].source].push_back(json_line(calls[k], ms[k]));
    std::map<std::string, std::vector<std::string>> ends;
    for (const auto& s : sent)
        for (const std::string& line : s.second)
            if (line.find("\"type\":\"call_end\"") != std::string::npos) {
                std::string with = line;
                with.insert(with.find(",\"type\""), ",\"source\":\"" + s.first + "\"");
                ends[s.first].push_back(with);
            }
    EXPECT_EQ(calls_by_source, ends);
    db_reset();
}

TEST(MqttInput, UsageAndABrokerGoneForGood)
{
    if (!mqtt_input_available)
        GTEST_SKIP() << "no mqtt: input in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[mqtt]\nGIVEUP=2\n");
    struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--mqtt", "127.0.0.1", "mqtt:127.0.0.1"}, 2,
         "marrowit: --mqtt would publish again what the input takes in: 'mqtt:127.0.0.1' (see 'marrowit --help')\n"},
        {{"--rate", "48000", "mqtt:127.0.0.1"}, 2,
         "marrowit: --format and --rate describe samples, not the input 'mqtt:127.0.0.1' (see 'marrowit --help')\n"},
        {{"mqtt:127.0.0.1:99999"}, 2, "marrowit: invalid MQTT port in '127.0.0.1:99999' (see 'marrowit --help')\n"},
        {{"mqtt:"}, 2, "marrowit: no MQTT broker host in '' (see 'marrowit --help')\n"},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(marrowit_path(), c.args, dir.path);
        EXPECT_EQ(r.status, c.status) << c.args.back();
        EXPECT_EQ(r.err, c.err);
    }
    int port = free_loopback_port();
    const std::string at = "127.0.0.1:" + std::to_string(port);
    run_result_t r = run_program(marrowit_path(), {"mqtt:" + at}, dir.path, "", 30);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: MQTT broker " + at + ": Connection refused; reconnecting\n"
                     "marrowit: MQTT broker " + at + " not reached for 2 s (Connection refused); stopping\n"
                     "marrowit: mqtt:" + at + ": 0 records from 0 receivers\n");
}

}  // namespace
