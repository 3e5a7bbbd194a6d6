// The call database (--db) against the JSON lines of the same run, with real
// SQLite files: every call with the same fields, the other records, the
// statistics, the history the web page reads; KEEP_DAYS; a database that
// cannot be written (read-only, locked, corrupt, not a file, on a full disk) said once while
// decoding goes on unchanged; and kill -9 in the middle of a decode.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>

#include "db/db.h"
#include "events/json.h"
#include "harness.h"
#include "procs.h"
#include "traffic.h"

namespace {

using json = nlohmann::json;
typedef std::vector<std::vector<std::string>> rows_t;

// Every row of a query, each column as text ("NULL" for NULL).
rows_t sql(const std::string& file, const std::string& query, sqlite3* open = nullptr)
{
    EXPECT_TRUE(db_library());
    sqlite3* db = open;
    if (!db && sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << file;
        return {};
    }
    rows_t rows;
    sqlite3_stmt* s = nullptr;
    const char* tail = query.c_str();
    while (*tail) {
        if (sqlite3_prepare_v2(db, tail, -1, &s, &tail) != SQLITE_OK) {
            ADD_FAILURE() << query << ": " << sqlite3_errmsg(db);
            break;
        }
        if (!s)
            break;
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int k = 0; k < sqlite3_column_count(s); k++) {
                const unsigned char* t = sqlite3_column_text(s, k);
                row.push_back(t ? (const char*)t : "NULL");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(s);
    }
    if (!open)
        sqlite3_close_v2(db);
    return rows;
}

std::string one(const std::string& file, const std::string& query)
{
    rows_t r = sql(file, query);
    return r.empty() || r[0].empty() ? "" : r[0][0];
}

const std::vector<call_plan_t> plan = {{10, 5, 50, 1001, 9},    {11, 20, -1, 1002, 8},
                                       {12, 600, 1200, 1050, 7}, {11, 700, -1, 2000, 6},
                                       {13, 1300, -1, 1001, 5}};
const char* settings = "[general]\nFILTER=5\n[rs232]\nRADIO=0\n";

std::string masked(std::string line)
{
    size_t at = line.find("\"time\":\"");
    if (at != std::string::npos)
        line.replace(at + 8, 24, "<TIME>");
    return line;
}

TEST(Db, EveryCallAndRecordAsInTheJsonOfTheSameRun)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings);
    run_result_t r = run_program(marrowit_path(), {"-q", "--json", "j.jsonl", "--db", "c.db", "-"},
                                 dir.path, render_u8(traffic(1500, plan, 0x1234, true)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string db = dir.file("c.db");
    EXPECT_EQ(one(db, "PRAGMA journal_mode"), "wal");

    // Calls: one row per call_end, in order, with the same fields.
    std::vector<json> ends = json_objects(read_file(dir.file("j.jsonl")), "call_end");
    std::vector<json> starts = json_objects(read_file(dir.file("j.jsonl")), "call_start");
    ASSERT_EQ(ends.size(), plan.size());
    rows_t calls = sql(db, "SELECT start_time, end_time, start_offset, end_offset, duration, sys, "
                           "channel, freq, prefix, ident1, ident2, ident1_name, ident2_name, data, "
                           "followed, ended, file, source FROM calls ORDER BY id");
    ASSERT_EQ(calls.size(), ends.size());
    for (size_t k = 0; k < ends.size(); k++) {
        const json& o = ends[k];
        const std::vector<std::string>& c = calls[k];
        SCOPED_TRACE(o.dump());
        json start;
        for (const json& s : starts)
            if (s["channel"] == o["channel"] && (double)s["offset"] < (double)o["offset"])
                start = s;  // the last start on the channel before the end
        EXPECT_LE(std::abs(std::stoll(one(db, "SELECT CAST(round((julianday('" + c[0] + "') - julianday('" +
                                                  start["time"].get<std::string>() + "')) * 86400000) AS INTEGER)"))),
                  2);
        EXPECT_LE(std::abs(std::stoll(one(db, "SELECT CAST(round((julianday('" + c[1] + "') - julianday('" +
                                                  o["time"].get<std::string>() + "')) * 86400000) AS INTEGER)"))),
                  2);
        EXPECT_NEAR(std::stod(c[2]), (double)start["offset"], 0.0015);
        EXPECT_EQ(std::stod(c[3]), (double)o["offset"]);
        EXPECT_EQ(std::stod(c[4]), (double)o["duration"]);
        EXPECT_EQ(c[5], o["sys"]);
        EXPECT_EQ(std::stoll(c[6]), o["channel"]);
        EXPECT_EQ(std::stod(c[7]), (double)o["freq"]);
        EXPECT_EQ(std::stoll(c[8]), o["prefix"]);
        EXPECT_EQ(std::stoll(c[9]), o["ident1"]);
        EXPECT_EQ(std::stoll(c[10]), o["ident2"]);
        EXPECT_EQ(c[11], "NULL");
        EXPECT_EQ(c[12], "NULL");
        EXPECT_EQ(c[13] == "1", o["data"]);
        EXPECT_EQ(c[14] == "1", o["followed"]);
        EXPECT_EQ(c[15], o["ended"]);
        EXPECT_EQ(c[16], "NULL");
        EXPECT_EQ(c[17], "");
    }

    // Every other record but the statistics, with its JSON line.
    std::vector<std::string> others;
    for (const std::string& line : lines_of(read_file(dir.file("j.jsonl"))))
        if (line.find("\"type\":\"call_end\"") == std::string::npos &&
            line.find("\"type\":\"stats\"") == std::string::npos)
            others.push_back(masked(line));
    rows_t events = sql(db, "SELECT json, type, sys, offset, time FROM events ORDER BY id");
    ASSERT_EQ(events.size(), others.size());
    for (size_t k = 0; k < events.size(); k++) {
        EXPECT_EQ(masked(events[k][0]), others[k]);
        json o = json::parse(events[k][0]);
        EXPECT_EQ(events[k][1], o["type"]);
        EXPECT_EQ(events[k][2], o["sys"].is_null() ? "NULL" : o["sys"].get<std::string>());
        EXPECT_EQ(std::stod(events[k][3]), (double)o["offset"]);
        EXPECT_EQ(events[k][4], o["time"]);
    }

    // Statistics: one row per record, with the calls that ended in it.
    std::vector<json> stats = json_objects(read_file(dir.file("j.jsonl")), "stats");
    rows_t rows = sql(db, "SELECT offset, seconds, sys, syncs, passed, failed, calls, systems FROM stats ORDER BY id");
    ASSERT_EQ(rows.size(), stats.size());
    ASSERT_EQ(rows.size(), 3u);
    double from = 0;
    long long calls_counted = 0;
    for (size_t k = 0; k < rows.size(); k++) {
        EXPECT_EQ(std::stod(rows[k][0]), (double)stats[k]["offset"]);
        EXPECT_EQ(std::stod(rows[k][1]), (double)stats[k]["seconds"]);
        EXPECT_EQ(rows[k][2], stats[k]["sys"]);
        EXPECT_EQ(std::stoll(rows[k][3]), stats[k]["syncs"]);
        EXPECT_EQ(std::stoll(rows[k][4]), stats[k]["passed"]);
        EXPECT_EQ(std::stoll(rows[k][5]), stats[k]["failed"]);
        EXPECT_EQ(json::parse(rows[k][7]), stats[k]["systems"]);
        long long ended = 0;
        for (const json& o : ends)
            ended += (double)o["offset"] > from && (double)o["offset"] <= (double)stats[k]["offset"];
        EXPECT_EQ(std::stoll(rows[k][6]), ended) << k;
        calls_counted += ended;
        from = stats[k]["offset"];
    }
    EXPECT_EQ(calls_counted, (long long)ends.size());

    // The history the web page reads: the live records, newest first, a
    // page at a time, by unit and by channel.
    in_dir_t in(dir.path);
    ASSERT_EQ(db_open(db.c_str()), 0);
    std::vector<std::string> lines;
    for (const std::string& line : lines_of(read_file(dir.file("j.jsonl"))))
        if (line.find("\"type\":\"call_end\"") != std::string::npos)
            lines.push_back(masked(line));
    struct {
        call_query_t q;
        std::vector<int> expected;  // indices into the calls, newest first
    } queries[] = {
        {{}, {4, 3, 2, 1, 0}},
        {{1001, -1, 0, 50}, {4, 0}},
        {{-1, 11, 0, 50}, {3, 1}},
        {{-1, -1, 1, 2}, {3, 2}},
        {{9, 10, 0, 50}, {0}},
        {{4242, -1, 0, 50}, {}},
    };
    for (const auto& c : queries) {
        std::vector<event_t> got;
        std::vector<long long> ms;
        long long total = db_call_history_times(c.q, &got, &ms);
        std::vector<std::string> got_lines, expected_lines;
        for (size_t k = 0; k < got.size(); k++)
            got_lines.push_back(masked(json_line(got[k], ms[k])));
        for (int k : c.expected)
            expected_lines.push_back(lines[(size_t)k]);
        EXPECT_EQ(got_lines, expected_lines) << c.q.unit << " " << c.q.channel;
        if (c.q.offset == 0) {
            EXPECT_EQ(total, (long long)c.expected.size());
        }
        for (size_t k = 0; k < got.size(); k++)
            EXPECT_EQ(json_utc(ms[k]), calls[(size_t)c.expected[k]][1]);
    }
    db_reset();
}

TEST(Db, KeepDaysDeletesOlderRows)
{
    for (int keep : {0, 3}) {
        SCOPED_TRACE(keep);
        temp_dir_t dir;
        write_file(dir.file("solvane.ini"), settings);
        std::string audio = render_u8(traffic(400, {{10, 5, 50, 1001, 9}, {11, 60, 90, 1002, 8}}, 0x1234, true));
        const std::string db = dir.file("c.db");
        ASSERT_EQ(run_program(marrowit_path(), {"-q", "--db", "c.db", "-"}, dir.path, audio).status, 0);
        std::string counts = "SELECT (SELECT COUNT(*) FROM calls) || ' ' || (SELECT COUNT(*) FROM events) || ' ' || "
                             "(SELECT COUNT(*) FROM stats)";
        std::string first = one(db, counts);
        EXPECT_EQ(first.substr(0, 2), "2 ");
        // The first call and record of every table made ten days old.
        sql(db, "UPDATE calls SET start_time = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-10 days') WHERE id = 1;"
                "UPDATE events SET time = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-10 days') WHERE id = 1;"
                "UPDATE stats SET time = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-2 days') WHERE id = 1");
        write_file(dir.file("solvane.ini"), std::string(settings) + "[db]\nKEEP_DAYS=" + std::to_string(keep) + "\n");
        ASSERT_EQ(run_program(marrowit_path(), {"-q", "--db", "c.db", "-"}, dir.path, audio).status, 0);
        std::istringstream was(first);
        long long calls, events, stats;
        was >> calls >> events >> stats;
        std::string now = std::to_string(2 * calls - (keep ? 1 : 0)) + " " +
                          std::to_string(2 * events - (keep ? 1 : 0)) + " " + std::to_string(2 * stats);
        EXPECT_EQ(one(db, counts), now);
        EXPECT_EQ(one(db, "SELECT MIN(id) FROM calls"), keep ? "2" : "1");
    }
}

// Root writes any file whatever its mode: a read-only database is read-only
// to the program run as nobody.
std::vector<std::string> as_nobody(const std::vector<std::string>& args)
{
    if (getuid() != 0)
        return args;
    std::vector<std::string> a = {"--reuid=65534", "--regid=65534", "--clear-groups", marrowit_path()};
    a.insert(a.end(), args.begin(), args.end());
    return a;
}

TEST(Db, TroubleIsSaidOnceAndDecodingGoesOn)
{
    std::string audio = render_u8(traffic(300, {{10, 5, 50, 1001, 9}, {11, 60, 90, 1002, 8}}, 0x1234, true));
    struct {
        const char* what;
        std::string why;  // as SQLite says it
    } cases[] = {{"read-only", "attempt to write a readonly database"},
                 {"locked", "database is locked"},
                 {"corrupt", "file is not a database"},
                 {"a folder", "unable to open database file"},
                 {"a full disk", "database or disk is full"}};
    temp_dir_t plain_dir;
    write_file(plain_dir.file("solvane.ini"), settings);
    run_result_t plain = run_program(marrowit_path(), {"-q", "--json", "j.jsonl", "-"}, plain_dir.path, audio);
    // More records than the full disk holds.
    std::string big_audio = render_u8(traffic(3000, {{10, 5, 50, 1001, 9}}, 0x1234, true));
    run_result_t big_plain = run_program(marrowit_path(), {"-q", "--json", "big.jsonl", "-"}, plain_dir.path, big_audio);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir_t dir;
        chmod(dir.path.c_str(), 0777);
        write_file(dir.file("solvane.ini"), settings);
        std::string db = dir.file("c.db"), shown = "c.db";
        bool full = c.what == std::string("a full disk");
        if (full) {
            // A file system of 64 kB (root only).
            mkdir(dir.file("small").c_str(), 0755);
            if (getuid() != 0 || std::system(("mount -t tmpfs -o size=64k tmpfs " + dir.file("small") +
                                              " 2>/dev/null").c_str()) != 0)
                continue;
            db = shown = dir.file("small/c.db");
        }
        sqlite3* holder = nullptr;
        std::string program = marrowit_path();
        std::vector<std::string> args = {"-q", "--json", "j.jsonl", "--db", shown, "-"};
        if (c.what == std::string("read-only") || c.what == std::string("locked")) {
            ASSERT_EQ(run_program(marrowit_path(), {"-q", "--db", "c.db", "-"}, dir.path, audio).status, 0);
        }
        if (c.what == std::string("read-only")) {
            chmod(db.c_str(), 0444);
            if (getuid() == 0) {
                program = "setpriv";
                args = as_nobody(args);
            }
        }
        if (c.what == std::string("locked")) {
            ASSERT_EQ(sqlite3_open_v2(db.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
            sql(db, "BEGIN EXCLUSIVE; INSERT INTO stats (time) VALUES ('x')", holder);
        }
        if (c.what == std::string("corrupt"))
            write_file(db, std::string(8192, 'x'));
        if (c.what == std::string("a folder"))
            mkdir(db.c_str(), 0755);
        std::string before = c.what == std::string("a folder") || full ? "" : read_file(db);
        run_result_t r = run_program(program, args, dir.path, full ? big_audio : audio);
        if (full) {
            EXPECT_EQ(std::system(("umount " + dir.file("small")).c_str()), 0);
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "marrowit: database " + shown + ": " + c.why +
                             "; calls and events are not being stored (decoding goes on, trying again)\n");
        EXPECT_EQ(mask_times(r.out), mask_times(full ? big_plain.out : plain.out));
        std::vector<std::string> got, expected;
        for (const std::string& l : lines_of(read_file(dir.file("j.jsonl"))))
            got.push_back(masked(l));
        for (const std::string& l : lines_of(read_file(plain_dir.file(full ? "big.jsonl" : "j.jsonl"))))
            expected.push_back(masked(l));
        EXPECT_EQ(got, expected);
        if (c.what != std::string("locked") && c.what != std::string("a folder") && !full) {
            EXPECT_EQ(read_file(db), before);
        }
        if (holder) {
            sql(db, "ROLLBACK", holder);
            sqlite3_close_v2(holder);
        }
    }
}

// Killed with SIGKILL in the middle of a live decode: the database passes
// its integrity check and holds every call ended two seconds before.
TEST(Db, KillNineLeavesEveryCommittedCall)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings);
    child_t marrowit;
    marrowit.start(command_line(marrowit_path(), {"-q", "--json", "j.jsonl", "--db", "c.db", "-"}), dir.path,
                   dir.file("out"), dir.file("err"), true);
    std::vector<call_plan_t> calls;
    for (int k = 0; k < 40; k++)
        calls.push_back({10 + k % 7, 5 + 7 * k, 8 + 7 * k, 1000 + k, 9});
    marrowit.write(render_u8(traffic(300, calls, 0x1234, true)));
    auto ended = [&] { return json_objects(read_file(dir.file("j.jsonl")), "call_end").size(); };
    ASSERT_TRUE(eventually([&] { return ended() == calls.size(); }, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    // More calls going on as it dies.
    marrowit.write(render_u8(traffic(100, {{10, 5, 8, 1, 9}, {11, 9, 30, 2, 9}}, 0x1234, true)));
    EXPECT_EQ(marrowit.wait(SIGKILL), 128 + SIGKILL);
    const std::string db = dir.file("c.db");
    EXPECT_EQ(one(db, "PRAGMA integrity_check"), "ok");
    rows_t rows = sql(db, "SELECT ident1 FROM calls ORDER BY id LIMIT 40");
    ASSERT_EQ(rows.size(), calls.size());
    for (size_t k = 0; k < calls.size(); k++)
        EXPECT_EQ(std::stoi(rows[k][0]), calls[k].ident1);
}

}  // namespace
