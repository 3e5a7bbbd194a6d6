// The JSON lines of generated traffic: calls that pair up with their
// durations, statistics that count what was sent, names escaped whatever
// they hold; and the same objects through a real MQTT broker (mosquitto,
// started here on a free loopback port), through a broker restart, and
// with no broker at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "events/mqtt.h"
#include "harness.h"
#include "procs.h"
#include "rigctld.h"
#include "traffic.h"

namespace {

using json = nlohmann::json;

const double slot_s = 128.0 / 1200;

TEST(Events, CallsPairUpAndStatisticsCountWhatWasSent)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    // 1500 slots, 160 s: statistics at 60 s, 120 s and the end.
    const std::vector<call_plan_t> plan = {
        {10, 5, 50}, {11, 20, -1}, {12, 600, 1200}, {11, 700, -1}, {13, 1300, -1}};
    const std::string script = traffic(1500, plan);
    run_result_t r =
        run_program(marrowit_path(), {"-q", "--json", "-", "-"}, dir.path, render_u8(script));
    ASSERT_EQ(r.status, 0) << r.err;

    struct expect_t {
        int chan;
        double slots;  // duration in slots; < 0: to the end of the input
        const char* ended;
    } expected[] = {{10, 45, "clear"}, {11, 680, "reallocated"}, {12, 600, "clear"},
                    {11, -1, "input_end"}, {13, -1, "input_end"}};
    std::vector<json> objects = json_objects(r.out);
    ASSERT_FALSE(objects.empty());
    double end = objects.back()["offset"];
    std::map<int, json> open;
    size_t ends = 0, gtcs = 0;
    long long syncs = 0, passed = 0, failed = 0;
    double covered = 0;
    std::vector<double> stats_at;
    for (const json& o : objects) {
        if (o["type"] == "GTC")
            gtcs++;
        if (o["type"] == "call_start") {
            EXPECT_EQ(open.count(o["channel"]), 0u) << o;
            open[o["channel"]] = o;
        }
        if (o["type"] == "call_end") {
            ASSERT_LT(ends, std::size(expected));
            const expect_t& e = expected[ends++];
            EXPECT_EQ(o["channel"], e.chan) << o;
            EXPECT_EQ(o["ended"], e.ended) << o;
            const json& start = open.at(o["channel"]);
            for (const char* f : {"prefix", "ident1", "ident2", "freq"})
                EXPECT_EQ(o[f], start[f]) << f;
            double d = o["duration"];
            EXPECT_NEAR(d, (double)o["offset"] - (double)start["offset"], 0.0015) << o;
            if (e.slots >= 0)
                EXPECT_NEAR(d, e.slots * slot_s, 0.0015) << o;
            else
                EXPECT_EQ((double)o["offset"], end) << o;
            open.erase(o["channel"]);
        }
        if (o["type"] == "stats") {
            syncs += o["syncs"].get<long long>();
            passed += o["passed"].get<long long>();
            failed += o["failed"].get<long long>();
            covered += (double)o["seconds"];
            stats_at.push_back(o["offset"]);
            EXPECT_EQ(o["systems"], json::array({"0x1234"}));
        }
    }
    EXPECT_EQ(ends, std::size(expected));
    EXPECT_EQ(gtcs, 5u);
    EXPECT_EQ(syncs, 1500);
    EXPECT_EQ(passed, 3000);
    EXPECT_EQ(failed, 0);
    EXPECT_NEAR(covered, end, 0.002);
    ASSERT_EQ(stats_at.size(), 3u);
    EXPECT_EQ(stats_at[0], 60.0);
    EXPECT_EQ(stats_at[1], 120.0);
    EXPECT_GT(stats_at[2], 160.0);
}

// NAME reaches the identity record as valid JSON whatever it holds; bytes
// that are not UTF-8 are read as Latin-1.
TEST(Events, NamesOfAnyBytesAreValidJson)
{
    struct {
        const char* name;      // as written in the settings file
        const char* expected;  // as the JSON string holds it
    } cases[] = {
        {"Harbour \"North\"", "Harbour \"North\""},
        {"C:\\radio\\site", "C:\\radio\\site"},
        {"Tab\there", "Tab\there"},
        {"Ctl\x01\x1f\x7f", "Ctl\x01\x1f\x7f"},
        {"Z\xfcrich S\xfc" "d", "Z\xc3\xbcrich S\xc3\xbc" "d"},                   // Latin-1
        {"Z\xc3\xbcrich \xe2\x82\xac \xf0\x9f\x93\xbb", "Z\xc3\xbcrich \xe2\x82\xac \xf0\x9f\x93\xbb"},
        {"cut \xe2\x82", "cut \xc3\xa2\xc2\x82"},                                  // broken UTF-8
        {"</script>{\"x\":1}", "</script>{\"x\":1}"},
    };
    temp_dir_t dir;
    std::string ini = "[rs232]\nRADIO=0\n", script;
    for (size_t k = 0; k < std::size(cases); k++) {
        char section[32];
        std::snprintf(section, sizeof section, "0x%04zx", k + 1);
        ini += std::string("[") + section + "]\nNAME=" + cases[k].name + "\n";
        script += std::string("ccsc ") + section + "\nack ident1=1\n";
    }
    write_file(dir.file("solvane.ini"), ini);
    run_result_t r = run_program(marrowit_path(), {"-q", "--json", "-", "-"}, dir.path, render_u8(script));
    ASSERT_EQ(r.status, 0) << r.err;
    size_t k = 0;
    for (const json& o : json_objects(r.out)) {
        if (o["type"] != "identity")
            continue;
        ASSERT_LT(k, std::size(cases));
        EXPECT_EQ(o["sysid"], k + 1);
        EXPECT_EQ(o["name"], cases[k].expected) << k;
        k++;
    }
    EXPECT_EQ(k, std::size(cases));
}

// ---- a real broker ---------------------------------------------------------

TEST(Mqtt, SubscriberReceivesTheJsonLinesThroughARestart)
{
    if (!mqtt_available || !have("mosquitto") || !have("mosquitto_sub"))
        GTEST_SKIP() << "no MQTT in this build, or no mosquitto and its clients";
    struct {
        const char* what;
        bool late, restart, password;
        const char* host = "127.0.0.1";
    } cases[] = {{"broker up throughout", false, false, false},
                 {"broker away at the start, there after 2 s", true, false, false},
                 {"broker stopped for 3 s and restarted", false, true, false},
                 {"credentials and topic from the settings", false, false, true},
                 {"[::1]:PORT, an empty TOPIC", false, false, false, "::1"}};
    // Three parts of about 8 s of traffic each, with calls.
    std::vector<std::string> parts;
    for (int k = 0; k < 3; k++)
        parts.push_back(render_u8(traffic(75, {{20 + k, 3, 60}, {30 + k, 10, -1}}, 0x1234 + k)));

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir_t dir;
        std::string prefix = c.password ? "site/7" : "marrowit";
        std::string ini = "[general]\nFILTER=5\n[rs232]\nRADIO=0\n";
        if (c.password)
            ini += "[mqtt]\nUSER=radio\nPASSWORD=s3cr\"t\nTOPIC=site/7\n";
        else
            ini += "[mqtt]\nTOPIC=\n";
        write_file(dir.file("solvane.ini"), ini);
        broker_t broker(dir, c.password);
        std::vector<std::string> sub = {"mosquitto_sub", "-h", c.host, "-p",
                                        std::to_string(broker.port), "-q", "1", "-c", "-i",
                                        "marrowit-test", "-v", "-t", prefix + "/#", "-t", "probe"};
        std::vector<std::string> pub = {"mosquitto_pub", "-h", c.host, "-p",
                                        std::to_string(broker.port), "-q", "1", "-t", "probe",
                                        "-m", "ready"};
        if (c.password)
            for (auto* args : {&sub, &pub})
                for (const char* a : {"-u", "radio", "-P", "s3cr\"t"})
                    args->push_back(a);
        child_t subscriber;
        subscriber.start(sub, dir.path, dir.file("received"), dir.file("sub.err"));
        auto received = [&] {
            std::vector<std::string> got;
            for (const std::string& l : lines_of(read_file(dir.file("received"))))
                if (l != "probe ready")
                    got.push_back(l);
            return got;
        };
        // The subscription stands once a probe comes back.
        ASSERT_TRUE(eventually(
            [&] {
                child_t p;
                p.start(pub, dir.path, dir.file("pub.out"), dir.file("pub.out"));
                p.wait();
                return read_file(dir.file("received")).find("probe ready") != std::string::npos;
            },
            10));

        if (c.late)
            broker.stop();  // the subscriber's session stays
        child_t marrowit;
        const std::string host = c.host[0] == ':' ? std::string("[") + c.host + "]" : c.host;
        marrowit.start(command_line(marrowit_path(), {"-q", "--json", "events.jsonl", "--mqtt",
                        host + ":" + std::to_string(broker.port), "-"}),
                       dir.path, dir.file("console"), dir.file("stderr"), true);
        auto written = [&] { return lines_of(read_file(dir.file("events.jsonl"))).size(); };
        marrowit.write(parts[0]);
        if (c.late) {
            EXPECT_TRUE(eventually([&] { return written() > 50; }, 10));
            std::this_thread::sleep_for(std::chrono::seconds(2));
            broker.start();
        }
        ASSERT_TRUE(eventually([&] { return written() > 50 && received().size() == written(); }, 20));
        if (c.restart)
            broker.stop();
        size_t before = written();
        marrowit.write(parts[1]);
        if (c.restart) {
            EXPECT_TRUE(eventually([&] { return written() > before + 50; }, 10));
            std::this_thread::sleep_for(std::chrono::seconds(3));
            broker.start();
        }
        marrowit.write(parts[2]);
        EXPECT_EQ(marrowit.wait(), 0);

        std::vector<std::string> lines = lines_of(read_file(dir.file("events.jsonl")));
        EXPECT_TRUE(eventually([&] { return received().size() >= lines.size(); }, 15));
        std::vector<std::string> got = received();
        // Each message on its topic; with the broker up, in the order written.
        std::vector<std::string> payloads;
        for (const std::string& g : got) {
            size_t space = g.find(' ');
            ASSERT_NE(space, std::string::npos) << g;
            json o = json::parse(g.substr(space + 1));
            std::string sysid = o["sys"].is_null() ? "none" : o["sys"].get<std::string>().substr(2);
            EXPECT_EQ(g.substr(0, space), prefix + "/" + sysid + "/" + o["type"].get<std::string>());
            payloads.push_back(g.substr(space + 1));
        }
        if (!c.restart) {
            EXPECT_EQ(payloads, lines);
        } else {
            // QoS 1 is "at least once": nothing is lost, though what was in
            // flight when the broker stopped may come twice.
            std::set<std::string> unique(payloads.begin(), payloads.end());
            EXPECT_EQ(unique, std::set<std::string>(lines.begin(), lines.end()));
        }
        std::string err = read_file(dir.file("stderr"));
        if (c.late || c.restart) {
            EXPECT_NE(err.find(c.late ? "Connection refused; messages wait, reconnecting\n"
                                      : "connection lost ("),
                      std::string::npos)
                << err;
            EXPECT_NE(err.find("reached\n"), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, "");
        }
        subscriber.wait(SIGTERM);
        broker.stop();
    }
}

// TOPIC with a wildcard stops the start; a listener that takes the
// connection and never answers is said while the input still runs.
TEST(Mqtt, WildcardTopicAndASilentBroker)
{
    if (!mqtt_available)
        GTEST_SKIP() << "no MQTT in this build";
    for (const char* bad : {"#", "site/+/rx", "a#b"}) {
        temp_dir_t dir;
        write_file(dir.file("solvane.ini"), std::string("[mqtt]\nTOPIC=") + bad + "\n");
        run_result_t r = run_program(marrowit_path(), {"-q", "--mqtt", "127.0.0.1:1883", "-"}, dir.path, "");
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.err, std::string("marrowit: invalid MQTT topic '") + bad +
                             "' in [mqtt] TOPIC of solvane.ini: it may not hold '#' or '+' "
                             "(leave it empty for 'marrowit')\n");
    }
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    int port = free_loopback_port();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    ASSERT_EQ(bind(listener, (sockaddr*)&a, sizeof a), 0);
    ASSERT_EQ(listen(listener, 16), 0);  // connections taken by the system, never answered
    child_t marrowit;
    marrowit.start(command_line(marrowit_path(), {"-q", "--mqtt", "127.0.0.1:" + std::to_string(port), "-"}),
                   dir.path, dir.file("console"), dir.file("stderr"), true);
    marrowit.write(render_u8(traffic(10, {{5, 2, 8}})));
    const std::string said = "marrowit: MQTT broker 127.0.0.1:" + std::to_string(port) +
                             ": took the connection but did not answer in 3 s; messages wait, "
                             "reconnecting\n";
    EXPECT_TRUE(eventually([&] { return read_file(dir.file("stderr")) == said; }, 30))
        << read_file(dir.file("stderr"));
    EXPECT_EQ(marrowit.wait(), 0);
    close(listener);
}

// Without a broker the console is as without --mqtt; the trouble is said
// once, and what could not be sent when the input ends.
TEST(Mqtt, NoBrokerLeavesDecodingAlone)
{
    if (!mqtt_available)
        GTEST_SKIP() << "no MQTT in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    std::string audio = render_u8(traffic(40, {{5, 2, 30}}));
    run_result_t plain = run_program(marrowit_path(), {"-q", "--json", "plain.jsonl", "-"}, dir.path, audio);
    size_t messages = lines_of(read_file(dir.file("plain.jsonl"))).size();
    int port = free_loopback_port();
    run_result_t r = run_program(marrowit_path(), {"-q", "--mqtt", "127.0.0.1:" + std::to_string(port), "-"},
                                 dir.path, audio);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(r.out), mask_times(plain.out));
    std::vector<std::string> err = lines_of(r.err);
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0], "marrowit: MQTT broker 127.0.0.1:" + std::to_string(port) +
                          ": Connection refused; messages wait, reconnecting");
    EXPECT_EQ(err[1], "marrowit: " + std::to_string(messages) + " messages not delivered to the MQTT broker 127.0.0.1:" +
                          std::to_string(port));
}

}  // namespace
