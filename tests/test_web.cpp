// The web page's server through the real program: its JSON API and event
// stream against the --json output of the same run, the recordings it
// serves and refuses, basic authentication, bad --http values, and 200
// event-stream clients, some of which never read, during a decode at full
// speed.  Every request goes over a real socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <poll.h>

#include <filesystem>
#include <functional>

#include "harness.h"
#include "procs.h"
#include "traffic.h"
#include "db/db.h"
#include "sdr/sdr.h"
#include "web/web.h"

using json = nlohmann::json;

namespace {

// ---- a client and the program ----------------------------------------------

int connect_to(int port, int rcvbuf = 0)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = loopback(port);
    if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void send_all(int s, const std::string& text)
{
    for (size_t sent = 0; sent < text.size();) {
        ssize_t n = send(s, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += (size_t)n;
    }
}

struct reply_t {
    int status = 0;
    std::string headers, body;
};

reply_t http_get(int port, const std::string& path, const std::string& more_headers = "")
{
    reply_t r;
    int s = connect_to(port);
    if (s < 0)
        return r;
    send_all(s, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                    more_headers + "\r\n");
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
        all.append(buf, (size_t)n);
    close(s);
    size_t end = all.find("\r\n\r\n");
    if (all.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
        return r;
    r.status = std::stoi(all.substr(9, 3));
    r.headers = all.substr(0, end);
    r.body = all.substr(end + 4);
    return r;
}

json get_json(int port, const std::string& path)
{
    reply_t r = http_get(port, path);
    EXPECT_EQ(r.status, 200) << path << "\n" << r.body;
    return json::parse(r.body, nullptr, false);
}

// The real program with its standard input on a pipe held open, so that the
// test says when the input ends.
struct program_t : child_t {
    std::string dir;
    program_t(const std::vector<std::string>& args, const std::string& run_dir) : dir(run_dir)
    {
        start(command_line(marrowit_path(), args), dir, dir + "/out.txt", dir + "/err.txt", true);
    }
    bool serving(int port) { return eventually([&] { return port_open(port); }, 10); }
    // The peak resident memory so far, kB.
    long hwm_kb() const
    {
        std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find("VmHWM:");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
    }
    std::string out() const { return read_file(dir + "/out.txt"); }
    std::string err() const { return read_file(dir + "/err.txt"); }
};

// Wait up to 20 s until the file holds what (the decoder has got that far).
bool wait_for_line(const std::string& path, const std::string& what)
{
    return eventually([&] { return read_file(path).find(what) != std::string::npos; }, 20);
}

json without_time(json j)
{
    j.erase("time");
    return j;
}

// ---- the traffic -------------------------------------------------------------

// Calls on four channels between a few units, with a data call, short
// data, an emergency request, a move and a broadcast among them.
std::string traffic_script(int rounds)
{
    std::string s;
    for (int r = 0; r < rounds; r++) {
        int chan = 40 + r % 4, a = 100 + r % 7, b = 200 + r % 5;
        s += "ccsc 0x1234\n";
        s += "gtc pfix=12 ident1=" + std::to_string(a) + " ident2=" + std::to_string(b) +
             " chan=" + std::to_string(chan) + "\n";
        s += "preamble 240\nccsc 0x1234\n";
        if (r % 5 == 1)
            s += "sam pfix=12 ident1=" + std::to_string(a) + "\nccsc 0x1234\n";
        if (r % 5 == 2)
            s += "req func=0 pfix=12 ident1=345 ident2=678 voice=1 emerg=1\nccsc 0x1234\n";
        if (r % 5 == 3)
            s += "head pfix=12 ident1=345 cwords=3 tarpfx=5 org=4321\nccsc 0x1234\n";
        if (r % 7 == 4)
            s += "gtc data=1 pfix=12 ident1=1 ident2=2 chan=30\nccsc 0x1234\n";
        if (r % 9 == 5)
            s += "bcast sysdef=0 sys=0x1234 chan=7\nccsc 0x1234\nmove chan=5\nccsc 0x1234\n";
        s += "clear chan=" + std::to_string(chan) + " cont=5\n";
    }
    return s;
}

const char settings[] = "[general]\nFILTER=4\n[rs232]\nRADIO=0\n[0x1234]\nNAME=North <b>\"site\"</b>\n";

}  // namespace

// Everything the API and the event stream give against the --json lines of
// the same run: every record in the stream, every ended call in the history
// (whole, filtered by unit and by channel, page by page), the open call, the
// channels, the system with its NAME, and the statistics.
TEST(WebPage, ApiAgreesWithJsonOfTheSameRun)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings);
    // 25 s of traffic, quiet to the first minute of statistics, then a call
    // still open when the input has been decoded.
    std::string audio = render_u8(traffic_script(60) + "preamble 48000\nccsc 0x1234\n"
                                  "gtc pfix=13 ident1=5 ident2=6 chan=80\nccsc 0x1234\npreamble 4000\n");
    int port = free_loopback_port();
    program_t p({"--http", std::to_string(port), "--json", "events.json", "-"}, dir.path);
    ASSERT_TRUE(p.serving(port)) << p.err();

    // A stream client from before the first record.
    int stream = connect_to(port);
    send_all(stream, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string got;
    char buf[65536];
    while (got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(stream, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, (size_t)n);
    }
    p.write(audio);
    ASSERT_TRUE(wait_for_line(dir.file("events.json"), "\"ident1\":5,")) << p.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::vector<json> records = json_objects(read_file(dir.file("events.json")));
    std::vector<json> ended, started, stats;
    for (const json& r : records) {
        if (r["type"] == "call_end")
            ended.push_back(without_time(r));
        if (r["type"] == "call_start")
            started.push_back(r);
        if (r["type"] == "stats")
            stats.push_back(r);
    }
    ASSERT_EQ(ended.size(), 60u);
    ASSERT_EQ(stats.size(), 1u);

    // The history, newest first, in pages of 7.
    std::vector<json> history;
    for (int offset = 0;; offset += 7) {
        json page = get_json(port, "/api/calls?offset=" + std::to_string(offset) + "&limit=7");
        EXPECT_EQ(page["total"], 60);
        for (const json& c : page["calls"])
            history.insert(history.begin(), without_time(c));
        if (page["calls"].size() < 7)
            break;
    }
    EXPECT_EQ(history, ended);
    struct {
        std::string query;
        std::function<bool(const json&)> match;
    } filters[] = {
        {"unit=103", [](const json& c) { return c["ident1"] == 103 || c["ident2"] == 103; }},
        {"unit=201", [](const json& c) { return c["ident1"] == 201 || c["ident2"] == 201; }},
        {"channel=42", [](const json& c) { return c["channel"] == 42; }},
        {"unit=100&channel=40", [](const json& c) { return c["ident1"] == 100 && c["channel"] == 40; }},
        {"unit=9999", [](const json&) { return false; }},
    };
    for (auto& f : filters) {
        SCOPED_TRACE(f.query);
        std::vector<json> want, got;
        for (const json& c : ended)
            if (f.match(c))
                want.insert(want.begin(), c);
        json page = get_json(port, "/api/calls?limit=1000&" + f.query);
        for (const json& c : page["calls"])
            got.push_back(without_time(c));
        EXPECT_EQ(got, want);
        EXPECT_EQ(page["total"], want.size());
    }
    for (const char* bad : {"/api/calls?unit=x", "/api/calls?limit=1001", "/api/calls?offset=-1"})
        EXPECT_EQ(http_get(port, bad).status, 400) << bad;

    // Now: the open call, every channel that carried one, the system.
    json state = get_json(port, "/api/state");
    ASSERT_EQ(state["calls"].size(), 1u);
    EXPECT_EQ(without_time(state["calls"][0]), without_time(started.back()));
    std::map<long long, long long> per_channel;
    for (const json& c : started)
        per_channel[c["channel"]]++;
    ASSERT_EQ(state["channels"].size(), per_channel.size());
    for (const json& c : state["channels"]) {
        EXPECT_EQ(c["calls"], per_channel[c["channel"]]);
        EXPECT_EQ(c["busy"], c["channel"] == 80);
    }
    ASSERT_EQ(state["systems"].size(), 1u);
    const json& sys = state["systems"][0];
    EXPECT_EQ(sys["sys"], "0x1234");
    EXPECT_EQ(sys["source"], "");
    EXPECT_EQ(sys["name"], "North <b>\"site\"</b>");
    EXPECT_EQ(sys["cch_freq"], 420.0);
    // The events worth seeing, newest first.
    std::vector<json> seen;
    for (const json& r : records)
        if (r["type"] == "SAM" || r["type"] == "HEAD" || r["type"] == "MOVE" ||
            r["type"] == "BCAST" || r.value("emergency", false))
            seen.insert(seen.begin(), without_time(r));
    std::vector<json> events;
    for (const json& e : state["events"])
        events.push_back(without_time(e));
    EXPECT_EQ(events, seen);
    EXPECT_GT(seen.size(), 20u);

    // The minute of statistics, with its calls.
    json st = get_json(port, "/api/stats");
    ASSERT_EQ(st["stats"].size(), 1u);
    json s0 = without_time(st["stats"][0]);
    long long calls_then = 0;
    for (const json& c : started)
        calls_then += c["offset"].get<double>() <= stats[0]["offset"].get<double>();
    EXPECT_EQ(s0["calls"], calls_then);
    s0.erase("calls");
    EXPECT_EQ(s0, without_time(stats[0]));
    EXPECT_EQ(sys["stats"]["passed"], stats[0]["passed"]);

    // The stream carried every record, in order.
    pollfd pf = {stream, POLLIN, 0};
    while (poll(&pf, 1, 300) > 0) {
        ssize_t n = recv(stream, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    close(stream);
    EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
    std::vector<json> streamed;
    for (size_t at = 0; (at = got.find("\ndata: ", at)) != std::string::npos;) {
        size_t end = got.find('\n', at + 7);
        streamed.push_back(without_time(json::parse(got.substr(at + 7, end - at - 7))));
        at = end;
    }
    ASSERT_EQ(streamed.size(), records.size());
    for (size_t k = 0; k < records.size(); k++)
        EXPECT_EQ(streamed[k], without_time(records[k])) << k;

    EXPECT_EQ(p.wait(), 0);
    // The end of the input ended the open call, as in the JSON.
    EXPECT_NE(read_file(dir.file("events.json")).find("\"ended\":\"input_end\""), std::string::npos);
}

// The page and its files; a NAME with markup, quotes and bytes that are not
// UTF-8 is valid JSON text; [http] USER and PASSWORD are asked for.
// With --db the page's history is the database's: a second run on the same
// file, before it has decoded anything, gives every call of the first, each
// with the wall-clock time it ended.
TEST(WebPage, HistoryFromTheDatabaseSurvivesARestart)
{
    if (!web_available || !db_available)
        GTEST_SKIP() << "no HTTP server or SQLite in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings);
    {
        program_t first({"--db", "calls.db", "--json", "events.json", "-"}, dir.path);
        first.write(render_u8(traffic_script(12)));
        ASSERT_EQ(first.wait(), 0) << first.err();
    }
    std::vector<json> ended;
    for (const json& r : json_objects(read_file(dir.file("events.json"))))
        if (r["type"] == "call_end")
            ended.insert(ended.begin(), r);
    ASSERT_EQ(ended.size(), 12u);

    int port = free_loopback_port();
    program_t second({"--db", "calls.db", "--http", std::to_string(port), "-"}, dir.path);
    ASSERT_TRUE(second.serving(port)) << second.err();
    json page = get_json(port, "/api/calls?limit=100");
    EXPECT_EQ(page["total"], 12);
    ASSERT_EQ(page["calls"].size(), 12u);
    for (size_t k = 0; k < ended.size(); k++) {
        EXPECT_EQ(without_time(page["calls"][k]), without_time(ended[k])) << k;
        // Ended in the first run, a moment ago: not the start of 1970.
        EXPECT_EQ(page["calls"][k]["time"].get<std::string>().substr(0, 2), "20") << page["calls"][k];
    }
}

TEST(WebPage, PageAuthenticationAndText)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"),
               "[rs232]\nRADIO=0\n[http]\nUSER=watch\nPASSWORD=s3cret\n"
               "[0x1234]\nNAME=<script>alert(1)</script> \"Caf\xe9\" \xff\xfe\n");
    int port = free_loopback_port();
    program_t p({"--http", "127.0.0.1:" + std::to_string(port), "-"}, dir.path);
    ASSERT_TRUE(p.serving(port)) << p.err();
    p.write(render_u8("ccsc 0x1234\npreamble 200\n"));
    const std::string auth = "Authorization: Basic d2F0Y2g6czNjcmV0\r\n";  // watch:s3cret
    for (const char* path : {"/", "/app.js", "/api/state", "/api/events", "/recordings/x.wav"}) {
        reply_t r = http_get(port, path);
        EXPECT_EQ(r.status, 401) << path;
        EXPECT_NE(r.headers.find("WWW-Authenticate: Basic"), std::string::npos);
        EXPECT_EQ(http_get(port, path, "Authorization: Basic d2F0Y2g6d3Jvbmc=\r\n").status, 401);
    }
    struct {
        const char* path;
        const char* type;
        const char* holds;
    } files[] = {
        {"/", "text/html", "<script src=\"app.js\""},
        {"/index.html", "text/html", "Recent calls"},
        {"/app.js", "text/javascript", "textContent"},
        {"/style.css", "text/css", ".chan.busy"},
    };
    for (auto& f : files) {
        reply_t r = http_get(port, f.path, auth);
        EXPECT_EQ(r.status, 200) << f.path;
        EXPECT_NE(r.headers.find(std::string("Content-Type: ") + f.type), std::string::npos);
        EXPECT_NE(r.body.find(f.holds), std::string::npos) << f.path;
        EXPECT_NE(r.headers.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    }
    // The page never writes data as markup.
    EXPECT_EQ(http_get(port, "/app.js", auth).body.find("innerHTML"), std::string::npos);
    EXPECT_EQ(http_get(port, "/nothing", auth).status, 404);

    json state;
    for (int k = 0; k < 200 && (state.is_null() || state["systems"].empty()); k++) {
        reply_t r = http_get(port, "/api/state", auth);
        state = json::parse(r.body, nullptr, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(state["systems"].size(), 1u) << state;
    // Bytes that are not UTF-8 are read as Latin-1, as --json does.
    EXPECT_EQ(state["systems"][0]["name"], "<script>alert(1)</script> \"Caf\u00e9\" \u00ff\u00fe");
    EXPECT_EQ(p.wait(), 0);
}

// A recording is served from the --record folder only: the file's bytes
// (whole and by range); never a path out of it, a hidden file, a folder, a
// symbolic link out, or a file that is not there.
TEST(WebPage, RecordingsOnlyFromTheRecordFolder)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    temp_dir_t dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.file("calls/sub"));
    write_file(dir.file("calls/call.wav"), std::string("RIFF") + std::string(5000, 'x'));
    write_file(dir.file("calls/.hidden.wav"), "hidden");
    write_file(dir.file("secret.txt"), "secret");
    fs::create_symlink(dir.file("secret.txt"), dir.file("calls/out.wav"));
    fs::create_symlink(dir.file("calls/call.wav"), dir.file("calls/in.wav"));
    fs::create_symlink(dir.path, dir.file("calls/up"));

    // The check itself.
    struct {
        const char* name;
        bool served;
    } cases[] = {
        {"call.wav", true},  {"in.wav", true},         {"out.wav", false},
        {"../secret.txt", false}, {"..", false},        {".", false},
        {".hidden.wav", false},   {"sub", false},       {"up", false},
        {"up/secret.txt", false}, {"missing.wav", false}, {"", false},
        {"sub/../call.wav", false}, {"call.wav/", false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = web_recording_path(dir.file("calls"), c.name);
        EXPECT_EQ(!path.empty(), c.served) << path;
        if (c.served) {
            EXPECT_EQ(read_file(path), read_file(dir.file("calls/call.wav")));
        }
    }
    EXPECT_EQ(web_recording_path("", "call.wav"), "");

    // Through the server.  --record belongs to IQ input: an IQ recording
    // with no call at all serves the folder made beforehand.
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "-o", dir.file("q.cu8"), "-"},
                                 "", "ccsc 0x1234\npreamble 400\n");
    ASSERT_EQ(g.status, 0) << g.err;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    int port = free_loopback_port();
    program_t p({"--http", std::to_string(port), "--center", "420250000", "--record", "calls",
               "iq:-"},
              dir.path);
    ASSERT_TRUE(p.serving(port)) << p.err();
    reply_t whole = http_get(port, "/recordings/call.wav");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, read_file(dir.file("calls/call.wav")));
    EXPECT_NE(whole.headers.find("Content-Type: audio/wav"), std::string::npos);
    reply_t part = http_get(port, "/recordings/call.wav", "Range: bytes=0-3\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "RIFF");
    for (const char* bad : {"/recordings/..%2Fsecret.txt", "/recordings/%2e%2e%2fsecret.txt",
                            "/recordings/../secret.txt", "/recordings/out.wav",
                            "/recordings/.hidden.wav", "/recordings/up%2Fsecret.txt",
                            "/recordings/sub", "/recordings/missing.wav", "/recordings/"}) {
        reply_t r = http_get(port, bad);
        EXPECT_EQ(r.status, 404) << bad;
        EXPECT_EQ(r.body.find("secret"), std::string::npos) << bad;
    }
    p.write(read_file(dir.file("q.cu8")));
    EXPECT_EQ(p.wait(), 0) << p.err();
}

// --http values refused before anything starts, and a port that is taken.
TEST(WebPage, BadAddressesAndTakenPorts)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    const std::string usage =
        "--http is [ADDRESS:]PORT with PORT 1 to 65535 ([::1]:PORT for IPv6), not";
    for (const char* bad : {"0", "65536", "http", "127.0.0.1:", ":80", "::1:8080", "1.2.3.4:x"}) {
        run_result_t r = run_program(marrowit_path(), {"--http", bad, "-"}, dir.path);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.err, "marrowit: " + usage + " '" + bad + "' (see 'marrowit --help')\n");
    }
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(bind(taken, (sockaddr*)&a, sizeof a), 0);
    listen(taken, 1);
    socklen_t len = sizeof a;
    getsockname(taken, (sockaddr*)&a, &len);
    std::string port = std::to_string(ntohs(a.sin_port));
    run_result_t r = run_program(marrowit_path(), {"--http", port, "-"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: --http: cannot listen on 127.0.0.1 port " + port +
                         ": the port is in use\n");
    close(taken);
    r = run_program(marrowit_path(), {"--http", "192.0.2.1:" + port, "-"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: --http: cannot listen on 192.0.2.1 port " + port +
                         ": Cannot assign requested address\n");

    // IPv6 loopback, where the machine has it.
    int free = free_loopback_port();
    program_t p({"--http", "[::1]:" + std::to_string(free), "-"}, dir.path);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int s = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 six = {};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons((unsigned short)free);
    six.sin6_addr = in6addr_loopback;
    bool v6 = false;
    for (int k = 0; k < 100 && !v6; k++) {
        v6 = connect(s, (sockaddr*)&six, sizeof six) == 0;
        if (!v6)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(s);
    std::string err = p.err();
    EXPECT_EQ(p.wait(), v6 ? 0 : 255);
    if (!v6) {
        EXPECT_NE(err.find("cannot listen on ::1"), std::string::npos) << err;
    }
}

namespace {

// The console and JSON output of a run at full speed on audio, with
// --http and clients made by connect() once the server listens; with
// before_end run after the input has been decoded and before it ends.
struct load_run_t {
    std::string console;
    std::vector<json> records;
    double seconds = 0;
    long hwm_kb = 0;
};

load_run_t load_run(const std::string& audio, bool http, const std::function<void(int port)>& clients,
                    const std::function<void(int port)>& before_end = nullptr)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings);
    int port = free_loopback_port();
    std::vector<std::string> args = {"--json", "events.json", "-"};
    if (http)
        args.insert(args.begin(), {"--http", std::to_string(port)});
    program_t p(args, dir.path);
    if (http) {
        EXPECT_TRUE(p.serving(port)) << p.err();
        clients(port);
    }
    auto t0 = std::chrono::steady_clock::now();
    p.write(audio);
    EXPECT_TRUE(wait_for_line(dir.file("events.json"), "\"ident1\":5,")) << p.err();
    load_run_t r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.hwm_kb = p.hwm_kb();
    if (before_end)
        before_end(port);
    EXPECT_EQ(p.wait(), 0) << p.err();
    r.console = mask_times(p.out());
    for (const json& j : json_objects(read_file(dir.file("events.json"))))
        r.records.push_back(without_time(j));
    return r;
}

std::string load_audio()
{
    return render_u8(traffic_script(600) + "ccsc 0x1234\ngtc pfix=13 ident1=5 ident2=6 chan=80\n"
                                           "ccsc 0x1234\npreamble 400\n");
}

// An event stream client: its socket, once the answer's headers are in.
int stream_client(int port, int rcvbuf = 0)
{
    int s = connect_to(port, rcvbuf);
    if (s < 0)
        return -1;
    send_all(s, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(s, &c, 1, 0) == 1)
        head += c;
    if (head.compare(0, 12, "HTTP/1.1 200") != 0) {
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

// 200 browsers following the event stream during a decode at full speed:
// the console report and the JSON lines are those of a run without the
// web page, and every client gets every record; a 201st is turned away.
TEST(WebLoad, TwoHundredClientsChangeNothing)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    const std::string audio = load_audio();
    load_run_t alone = load_run(audio, false, nullptr);

    std::vector<int> socks;
    std::thread reader;
    std::vector<long long> data_lines, last_id;
    bool turned_away = false;
    load_run_t loaded = load_run(
        audio, true,
        [&](int port) {
            for (int k = 0; k < WEB_SSE_CLIENTS; k++)
                socks.push_back(stream_client(port));
            reply_t more = http_get(port, "/api/events");
            turned_away = more.status == 503;
            data_lines.assign(socks.size(), 0);
            last_id.assign(socks.size(), 0);
            reader = std::thread([&] {
                std::vector<std::string> partial(socks.size());
                std::vector<pollfd> fds;
                for (int s : socks)
                    fds.push_back(pollfd{s, POLLIN, 0});
                size_t open = socks.size();
                char buf[65536];
                while (open && poll(fds.data(), fds.size(), 20000) > 0) {
                    for (size_t k = 0; k < fds.size(); k++) {
                        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                            continue;
                        ssize_t n = recv(fds[k].fd, buf, sizeof buf, 0);
                        if (n <= 0) {
                            fds[k].fd = -1;
                            open--;
                            continue;
                        }
                        partial[k].append(buf, (size_t)n);
                        size_t start = 0;
                        for (size_t nl; (nl = partial[k].find('\n', start)) != std::string::npos;
                             start = nl + 1) {
                            if (partial[k].compare(start, 6, "data: ") == 0)
                                data_lines[k]++;
                            if (partial[k].compare(start, 4, "id: ") == 0)
                                last_id[k] = std::stoll(partial[k].substr(start + 4, nl - start - 4));
                        }
                        partial[k].erase(0, start);
                    }
                }
            });
        },
        [&](int) { std::this_thread::sleep_for(std::chrono::milliseconds(500)); });
    reader.join();
    for (int s : socks)
        close(s);

    EXPECT_TRUE(turned_away);
    ASSERT_EQ(socks.size(), (size_t)WEB_SSE_CLIENTS);
    EXPECT_EQ(std::count(socks.begin(), socks.end(), -1), 0);
    EXPECT_EQ(loaded.console, alone.console);
    EXPECT_EQ(loaded.records, alone.records);
    EXPECT_GT(alone.records.size(), 3000u);
    for (size_t k = 0; k < socks.size(); k++) {
        EXPECT_EQ(data_lines[k], (long long)alone.records.size()) << k;
        EXPECT_EQ(last_id[k], (long long)alone.records.size()) << k;
    }
    std::printf("decode without clients %.2f s, with %d clients %.2f s; %zu records to each\n",
                alone.seconds, WEB_SSE_CLIENTS, loaded.seconds, alone.records.size());
}

// 200 clients that ask for the event stream and never read: the decode is
// that of a run without them, the page's other requests are answered, and
// the program's peak memory stays within a bound of a run with the server
// and no client.
TEST(WebLoad, StuckClientsKeepMemoryBounded)
{
    if (!web_available)
        GTEST_SKIP() << "no HTTP server in this build";
    const std::string audio = load_audio();
    load_run_t alone = load_run(audio, true, [](int) {});

    std::vector<int> socks;
    int state_status = 0;
    load_run_t stuck = load_run(
        audio, true,
        [&](int port) {
            for (int k = 0; k < WEB_SSE_CLIENTS; k++)
                socks.push_back(stream_client(port, 4096));
        },
        [&](int port) { state_status = http_get(port, "/api/state").status; });
    for (int s : socks)
        close(s);

    EXPECT_EQ(std::count(socks.begin(), socks.end(), -1), 0);
    EXPECT_EQ(state_status, 200);
    EXPECT_EQ(stuck.console, alone.console);
    EXPECT_EQ(stuck.records, alone.records);
    // Each client's records wait in its socket (the kernel's), not in the
    // program: the bound is, per client, WEB_STREAM_BYTES and its copy in
    // the chunk being written, and the stack of its thread.
#ifndef MARROWIT_SANITIZED
    EXPECT_LT(stuck.hwm_kb, alone.hwm_kb + 20 * 1024);
#endif
    std::printf("peak memory with the server: %ld kB alone, %ld kB with %d stuck clients; "
                "decode %.2f s and %.2f s\n",
                alone.hwm_kb, stuck.hwm_kb, WEB_SSE_CLIENTS, alone.seconds, stuck.seconds);
}

// The state in the program: the ring a stream client falls behind in, the
// bounds of the history and the event list, and records of other receivers
// kept apart by their source.
TEST(WebState, BoundsAndReceivers)
{
    web_reset();
    auto record = [](const char* type, const std::string& source, int sys, long long channel) {
        event_t e;
        e.type = type;
        e.sys = sys;
        e.source = source;
        e.fields.push_back(event_field_t{"prefix", EVENT_INT, 12, 0, 0, {}});
        e.fields.push_back(event_field_t{"ident1", EVENT_INT, channel + 1000, 0, 0, {}});
        e.fields.push_back(event_field_t{"channel", EVENT_INT, channel, 0, 0, {}});
        return e;
    };
    for (long long k = 0; k < WEB_HISTORY + 50; k++) {
        web_sink(record("call_start", "", 0x1234, k % 10));
        web_sink(record("call_end", "", 0x1234, k % 10));
    }
    for (int k = 0; k < WEB_EVENTS + 5; k++)
        web_sink(record("SAM", "", 0x1234, k));
    // Another receiver's call on the same system and channel.
    web_sink(record("call_start", "hill <1>", 0x1234, 3));

    const unsigned long long last = 2ull * (WEB_HISTORY + 50) + WEB_EVENTS + 6;
    EXPECT_EQ(web_ring_last(), last);
    // A client far behind skips to the oldest record kept, and gets at most
    // WEB_STREAM_BYTES at a time.
    unsigned long long seq = 1;
    std::string messages;
    bool skipped = false;
    web_ring_after(&seq, &messages, &skipped, 0);
    EXPECT_TRUE(skipped);
    EXPECT_EQ(messages.compare(0, 4 + std::to_string(last - WEB_RING + 1).size(),
                               "id: " + std::to_string(last - WEB_RING + 1)),
              0)
        << messages.substr(0, 40);
    EXPECT_LE(messages.size(), (size_t)WEB_STREAM_BYTES);
    EXPECT_GT(seq, last - WEB_RING + 1);
    // ... and catches up without skipping again.
    while (seq < last) {
        web_ring_after(&seq, &messages, &skipped, 0);
        EXPECT_FALSE(skipped);
    }
    EXPECT_NE(messages.find("\"source\":\"hill <1>\",\"offset\""), std::string::npos) << messages;
    web_ring_after(&seq, &messages, &skipped, 0);
    EXPECT_TRUE(messages.empty());

    call_query_t all;
    all.limit = 5;
    std::vector<event_t> calls;
    EXPECT_EQ(web_memory_history(all, &calls), WEB_HISTORY);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(event_field(calls[0], "channel")->i, (WEB_HISTORY + 49) % 10);
    call_query_t unit;
    unit.unit = 1003;
    unit.limit = 1000000;
    EXPECT_EQ(web_memory_history(unit, &calls), WEB_HISTORY / 10);

    json state = json::parse(web_state_json());
    EXPECT_EQ(state["events"].size(), (size_t)WEB_EVENTS);
    EXPECT_EQ(state["events"][0]["channel"], WEB_EVENTS + 4);
    ASSERT_EQ(state["calls"].size(), 1u);
    EXPECT_EQ(state["calls"][0]["source"], "hill <1>");
    ASSERT_EQ(state["systems"].size(), 2u);
    EXPECT_EQ(state["systems"][0]["source"], "");
    EXPECT_EQ(state["systems"][1]["source"], "hill <1>");
    EXPECT_EQ(state["channels"].size(), 11u);
    web_reset();
}
