// The receiver of RADIO 3 in tests and benchmarks: Hamlib's rigctld with its
// dummy rig (-m 1), started on a free port of 127.0.0.1 and stopped when the
// object goes; and the real program reading standard input that a test
// writes a part at a time, so that the rig can be looked at between parts.
// POSIX only.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "harness.h"

// Whether rigctld can be run here, and the build tunes through Hamlib.
bool rigctld_available();

// A port of 127.0.0.1 that nothing listens on now.
int free_loopback_port();

// The address of a port on 127.0.0.1.
sockaddr_in loopback(int port);

struct rigctld_t {
    int port = 0;
    pid_t pid = -1;

    explicit rigctld_t(int port = 0);  // started at once; 0: on a free port
    ~rigctld_t();
    rigctld_t(const rigctld_t&) = delete;
    rigctld_t& operator=(const rigctld_t&) = delete;

    bool start();  // on this->port (a free one when 0); true once it takes connections
    void stop();   // terminate it and wait for it
    std::string path() const { return "127.0.0.1:" + std::to_string(port); }

    // The dummy rig's frequency in Hz, or -1 when rigctld does not answer.
    long long freq() const;
    // Wait (at most ms) until the rig is on hz; the frequency it is on.
    long long wait_freq(long long hz, int ms = 10000) const;
};

// The real program on standard input from this process, in dir, with
// console and standard error going to files there.
struct piped_program_t {
    pid_t pid = -1;
    int in = -1;
    std::string dir;
    size_t written = 0;

    piped_program_t(const std::string& program, const std::vector<std::string>& args,
                    const std::string& dir);
    ~piped_program_t();

    // Write samples, padded with silence to a whole number of the reads
    // the program makes (1080 samples), so that it decodes all of them
    // without waiting for more; what was written.
    std::string feed(const std::string& samples);
    // Wait (at most ms) until the console ("console.out") or standard error
    // ("console.err") shows text; whether it does.
    bool wait_for(const std::string& text, const char* file = "console.out", int ms = 10000) const;
    // Close standard input and wait for the end; out and err as written.
    run_result_t finish();
};
