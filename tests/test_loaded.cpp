// liquid-dsp, libmosquitto (with FFTW and OpenSSL behind them) and SQLite
// are in memory only in a run that uses IQ input, --mqtt or --db, and ALSA,
// libsndfile (with its codecs) and libsoxr (with OpenMP) only in one that
// uses the sound card, a recording or another sample rate: the libraries
// mapped by the real program, read from /proc while it listens for UDP at
// 10800 Hz.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "db/db.h"
#include "events/mqtt.h"
#include "harness.h"
#include "rigctld.h"
#include "sdr/sdr.h"

namespace {

TEST(LoadedLibraries, MappedOnlyWhenTheirFeatureIsUsed)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    enum { PLAIN, MQTT, DB };
    for (int use : {PLAIN, MQTT, DB}) {
        if ((use == MQTT && !mqtt_available) || (use == DB && !db_available))
            continue;
        bool mqtt = use == MQTT, db = use == DB;
        SCOPED_TRACE(mqtt ? "--mqtt" : db ? "--db" : "plain");
        std::vector<std::string> args = {"-q", "--rate", "10800",
                                         "udp:" + std::to_string(free_loopback_port())};
        if (mqtt)
            args.insert(args.begin(), {"--mqtt", "127.0.0.1:" + std::to_string(free_loopback_port())});
        if (db)
            args.insert(args.begin(), {"--db", "calls.db"});
        std::string maps;
        run_result_t r = run_program_meanwhile(marrowit_path(), args, dir.path, [&](int pid) {
            std::string path = "/proc/" + std::to_string(pid) + "/maps";
            // Linked libraries are mapped before the program starts;
            // libmosquitto when --mqtt is read, SQLite when --db is.
            // The forked test program, before it has run marrowit, holds
            // what the tests before loaded into it.
            auto ready = [&] {
                maps = read_file(path);
                return maps.find("marrowit_tests") == std::string::npos &&
                       maps.find("libc.so") != std::string::npos &&
                       // libssl comes with libmosquitto, in the same load.
                       (!mqtt || (maps.find("libmosquitto") != std::string::npos &&
                                  maps.find("libssl") != std::string::npos)) &&
                       (!db || maps.find("libsqlite3") != std::string::npos);
            };
            for (int tries = 0; tries < 1500 && !ready(); tries++)  // 30 s at most
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            kill(pid, SIGKILL);  // how it ends is not the point here
        });
        EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
        EXPECT_EQ(maps.find("libliquid"), std::string::npos);
        EXPECT_EQ(maps.find("libfftw"), std::string::npos);
        EXPECT_EQ(maps.find("libmosquitto") != std::string::npos, mqtt);
        EXPECT_EQ(maps.find("libssl") != std::string::npos, mqtt);
        EXPECT_EQ(maps.find("libsqlite3") != std::string::npos, db);
        for (const char* late : {"libasound", "libsndfile", "libFLAC", "libsoxr", "libgomp"})
            EXPECT_EQ(maps.find(late), std::string::npos) << late;
    }
}

}  // namespace
