// Tuning delay through Hamlib: from the last sample of a followed GTC
// reaching the program to the frequency being set in rigctld, over the
// loopback interface.
//
//   build/bench/marrowit_tuning_delay [CALLS]      (default 50)
//
// The real program decodes standard input written by this process a call
// at a time (settings RADIO=3, RIG_MODEL=2, TARGET_PREF=9999), and talks
// to Hamlib's rigctld with its dummy rig through a relay of this process
// that notes when the frequency command passes and when rigctld answers
// it.  For each call:
//
//   command   the GTC's audio written (up to the end of its last bit and
//             silence to the program's next read) -> "F <Hz>" reaches rigctld
//   answered  -> rigctld's answer to it leaves rigctld
//   readable  -> another client of rigctld reads the new frequency
//
// rigctld's dummy rig takes 20 ms to set a frequency (it imitates a
// radio), and rigctld reads it back before it answers; "command" is what
// the program adds.  The first call opens the rig and is shown apart.
//
// Then the same program decodes a recording of 200 followed calls (400
// receiver commands in 43 s of audio) with no receiver, with rigctld, and
// with rigctld stopped (SIGSTOP: it takes connections but never answers):
// the wall time shows what a silent receiver costs the decoding.
#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "rigctld.h"

namespace {

double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Forwards one client to rigctld and notes when a set-frequency command
// goes through and when its answer comes back.
struct relay_t {
    int listener = -1;
    int port = 0;
    std::thread thread;
    std::mutex m;
    std::vector<double> commands, answers;
    std::atomic<bool> stop{false};

    explicit relay_t(int rig_port)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, (sockaddr*)&a, sizeof a) != 0 || listen(listener, 4) != 0 ||
            getsockname(listener, (sockaddr*)&a, &len) != 0) {
            std::perror("relay");
            std::exit(1);
        }
        port = ntohs(a.sin_port);
        thread = std::thread([this, rig_port] { run(rig_port); });
    }

    ~relay_t()
    {
        stop = true;
        thread.join();
        close(listener);
    }

    void run(int rig_port)
    {
        int client = -1, server = -1;
        std::string from_client;
        bool awaiting_answer = false;
        while (!stop) {
            pollfd p[3];
            int n = 0;
            p[n++] = {listener, POLLIN, 0};
            if (client >= 0) {
                p[n++] = {client, POLLIN, 0};
                p[n++] = {server, POLLIN, 0};
            }
            if (poll(p, (nfds_t)n, 50) <= 0)
                continue;
            double t = now_ms();
            if (p[0].revents) {
                int c = accept(listener, nullptr, nullptr);
                if (client >= 0) {
                    close(client);
                    close(server);
                }
                client = c;
                server = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons((unsigned short)rig_port);
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(server, (sockaddr*)&a, sizeof a) != 0)
                    std::perror("relay: rigctld");
                continue;
            }
            char buf[4096];
            for (int i = 1; i < n; i++) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                ssize_t got = read(p[i].fd, buf, sizeof buf);
                if (got <= 0) {
                    close(client);
                    close(server);
                    client = server = -1;
                    break;
                }
                bool up = p[i].fd == client;
                if (send(up ? server : client, buf, (size_t)got, MSG_NOSIGNAL) != got)
                    std::perror("relay: send");
                std::lock_guard<std::mutex> hold(m);
                if (up) {
                    from_client.append(buf, (size_t)got);
                    for (size_t nl; (nl = from_client.find('\n')) != std::string::npos;) {
                        if (from_client.compare(0, 2, "F ") == 0) {
                            commands.push_back(t);
                            awaiting_answer = true;
                        }
                        from_client.erase(0, nl + 1);
                    }
                } else if (awaiting_answer && std::string(buf, (size_t)got).find("RPRT") != std::string::npos) {
                    answers.push_back(t);
                    awaiting_answer = false;
                }
            }
        }
        if (client >= 0) {
            close(client);
            close(server);
        }
    }

    // Wait for the count-th command and its answer; their times.
    bool wait(size_t count, double* command, double* answer)
    {
        for (double end = now_ms() + 5000; now_ms() < end;) {
            {
                std::lock_guard<std::mutex> hold(m);
                if (answers.size() >= count) {
                    *command = commands[count - 1];
                    *answer = answers[count - 1];
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return false;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[(size_t)(q * (double)(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv)
{
    int calls = argc > 1 ? std::atoi(argv[1]) : 50;
    if (calls < 2) {
        std::fprintf(stderr, "usage: marrowit_tuning_delay [CALLS >= 2]\n");
        return 2;
    }
    rigctld_t rig;
    relay_t relay(rig.port);
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=3\nRIG_MODEL=2\n"
                                        "RIG_PATH=127.0.0.1:" + std::to_string(relay.port) + "\n");
    piped_program_t program(MARROWIT_BIN, {"-"}, dir.path);

    gen_audio_t cut;
    cut.tail = 0;  // the audio ends with the GTC's last bit
    std::vector<double> command, answered, readable;
    double first[3] = {0, 0, 0};
    size_t sent = 0;
    for (int k = 0; k < calls; k++) {
        int chan = 100 + k % 2 * 100;  // every call moves the rig
        long long hz = 420000000 + 12500LL * chan;
        std::string gtc = render_u8("ccsc 0x1234\ngtc pfix=1 ident1=2 ident2=3 chan=" +
                                        std::to_string(chan) + "\n",
                                    cut);
        // At least one sample of silence after it, so that the decision for
        // the last bit never waits for the next read.
        gtc += std::string(1, (char)128);
        double t0 = now_ms();
        program.feed(gtc);
        double tc = 0, ta = 0;
        if (!relay.wait(++sent, &tc, &ta)) {
            std::fprintf(stderr, "no command for call %d\n", k + 1);
            return 1;
        }
        double tr = 0;
        while (rig.freq() != hz && now_ms() < t0 + 5000)
            ;
        tr = now_ms();
        if (k == 0) {
            first[0] = tc - t0;
            first[1] = ta - t0;
            first[2] = tr - t0;
        } else {
            command.push_back(tc - t0);
            answered.push_back(ta - t0);
            readable.push_back(tr - t0);
        }
    }
    run_result_t r = program.finish();
    if (r.status != 0 || !r.err.empty()) {
        std::fprintf(stderr, "marrowit: status %d: %s", r.status, r.err.c_str());
        return 1;
    }
    std::printf("tuning delay through Hamlib to rigctld -m 1 over loopback, %d calls (ms)\n", calls);
    std::printf("             median     90 %%      max   first call (opens the rig)\n");
    std::printf("command   %8.2f %8.2f %8.2f %8.2f\n", median(command), percentile(command, 0.9),
                percentile(command, 1.0), first[0]);
    std::printf("answered  %8.2f %8.2f %8.2f %8.2f\n", median(answered), percentile(answered, 0.9),
                percentile(answered, 1.0), first[1]);
    std::printf("readable  %8.2f %8.2f %8.2f %8.2f\n", median(readable), percentile(readable, 0.9),
                percentile(readable, 1.0), first[2]);

    std::string script;
    for (int k = 0; k < 200; k++) {
        std::string chan = std::to_string(100 + k % 50);
        script += "ccsc 0x1234\ngtc pfix=1 ident1=2 ident2=3 chan=" + chan + "\nccsc 0x1234\nclear chan=" +
                  chan + " cont=5\n";
    }
    std::string audio = render_u8(script);
    std::printf("\n%.1f s of audio with 400 receiver commands, decoded through marrowit -\n",
                (double)audio.size() / 10800);
    struct {
        const char* what;
        std::string rs232;
        bool silent;
    } runs[] = {
        {"no receiver (RADIO=0)", "RADIO=0\n", false},
        {"rigctld", "RADIO=3\nRIG_PATH=" + rig.path() + "\n", false},
        {"rigctld not answering", "RADIO=3\nRIG_PATH=" + rig.path() + "\n", true},
    };
    for (const auto& run : runs) {
        write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\n" + run.rs232);
        if (run.silent)
            kill(rig.pid, SIGSTOP);
        double t = now_ms();
        run_result_t d = run_program(MARROWIT_BIN, {"-"}, dir.path, audio);
        t = now_ms() - t;
        if (run.silent)
            kill(rig.pid, SIGCONT);
        std::printf("  %-24s %7.2f s  (exit status %d)\n", run.what, t / 1000, d.status);
    }
    return 0;
}
