#include "traffic.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "mptgen.h"

word64_t pack(const unsigned short cw[4])
{
    return (word64_t)cw[0] << 48 | (word64_t)cw[1] << 32 | (word64_t)cw[2] << 16 | cw[3];
}

// A random address codeword of a kind that always gives a report line at FILTER 5.
void random_message(std::mt19937_64& rng, unsigned short cw[4])
{
    static const char* const kinds[] = {"aloha", "ack", "req", "bcast", "maint", "move",
                                        "sam",   "head", "gtc", "gtc",  "clear"};
    const char* kind = kinds[rng() % 11];
    auto r = [&](unsigned bits) { return (unsigned)(rng() & ((1u << bits) - 1)); };
    std::ostringstream line;
    line << kind;
    std::string k = kind;
    if (k == "aloha")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " func=" << r(3) << " wt=" << r(3)
             << " m=" << r(5) << " n=" << r(4);
    else if (k == "ack" || k == "req")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " ident2=" << r(13) << " func=" << r(3)
             << " set=44-48:" << r(5);
    else if (k == "bcast")
        line << " sysdef=" << r(5) << " sys=" << r(15) << " chan=" << r(10) << " idred=" << r(4);
    else if (k == "maint" || k == "move")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " chan=" << r(10);
    else if (k == "sam")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " set=28-48:" << r(21);
    else if (k == "head")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " cwords=" << 2 + r(1) << " tarpfx=" << r(7)
             << " org=" << r(13);
    else if (k == "gtc")
        line << " pfix=" << r(7) << " ident1=" << r(13) << " ident2=" << r(13) << " chan=" << r(10)
             << " data=" << r(1);
    else
        line << " chan=" << r(10) << " cont=" << r(10);
    std::string error;
    if (gen_message(line.str(), cw, &error) != 0) {
        std::fprintf(stderr, "marrowit-soak: %s: %s\n", line.str().c_str(), error.c_str());
        std::exit(2);
    }
}

void append_slots(std::mt19937_64& rng, int n, const unsigned short system[4], std::vector<unsigned char>* bits,
                  std::vector<word64_t>* sent)
{
    for (int s = 0; s < n; s++) {
        unsigned short cw[4];
        random_message(rng, cw);
        gen_append_codeword(bits, system);
        gen_append_codeword(bits, cw);
        sent->push_back(pack(cw));
    }
}

static bool dump_at(const std::string& s, size_t p, word64_t* value)
{
    word64_t v = 0;
    for (int w = 0; w < 4; w++) {
        size_t at = p + (size_t)w * 20;
        if (s.compare(at, 3, "   ") != 0)
            return false;
        for (int i = 0; i < 17; i++) {
            char c = s[at + 3 + (size_t)i];
            if (i == 8) {
                if (c != ' ')
                    return false;
                continue;
            }
            if (c != '0' && c != '1')
                return false;
            v = v << 1 | (word64_t)(c - '0');
        }
    }
    *value = v;
    return true;
}

void dump_scanner_t::feed(const char* data, size_t n)
{
    carry.append(data, n);
    size_t p = 0;
    while (p + 80 <= carry.size()) {
        word64_t v;
        if (carry[p] == ' ' && dump_at(carry, p, &v)) {
            found.push_back(v);
            p += 80;
        } else {
            p++;
        }
    }
    carry.erase(0, p);
}

int decoder_run_t::start(const std::string& marrowit, const std::string& general)
{
    char name[] = "/tmp/marrowit-run-XXXXXX";
    if (!mkdtemp(name))
        return -1;
    dir = name;
    std::ofstream(dir + "/solvane.ini") << "[general]\nFILTER=5\nBINARY=1\nLOG=0\n"
                                        << general << "[rs232]\nRADIO=0\n";
    // Close-on-exec, so that a second decoder started later holds no end of
    // this one's pipes (its input would never end).
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return -1;
    pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execl(marrowit.c_str(), marrowit.c_str(), "-q", "-", (char*)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input = in[1];
    output = out[0];
    signal(SIGPIPE, SIG_IGN);
    reader = std::thread([this] {
        char buf[1 << 16];
        ssize_t n;
        while ((n = read(output, buf, sizeof buf)) > 0)
            scanner.feed(buf, (size_t)n);
    });
    return 0;
}

void decoder_run_t::write(const std::vector<unsigned char>& samples)
{
    size_t done = 0;
    while (done < samples.size() && !write_failed) {
        ssize_t w = ::write(input, samples.data() + done, samples.size() - done);
        if (w <= 0)
            write_failed = true;
        else
            done += (size_t)w;
    }
}

bool decoder_run_t::finish()
{
    close(input);
    reader.join();
    close(output);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string rm = "rm -rf " + dir;
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && !write_failed;
}

tool_args_t parse_tool_args(int argc, char** argv, const char* count_option, double count,
                            const char* usage)
{
    tool_args_t t;
    t.count = count;
    t.marrowit = MARROWIT_BIN;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == count_option && i + 1 < argc)
            t.count = std::atof(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            t.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--marrowit" && i + 1 < argc)
            t.marrowit = argv[++i];
        else if (a == "--set" && i + 1 < argc && std::strchr(argv[i + 1], '='))
            t.general += std::string(argv[++i]) + "\n";
        else {
            std::fprintf(stderr, "usage: %s\n", usage);
            std::exit(2);
        }
    }
    return t;
}

match_t match_codewords(const std::vector<word64_t>& found, word64_t system_word,
                        const std::vector<word64_t>& sent)
{
    // A codeword reported on two lines (a GTC that also reads as an ALOHA)
    // is dumped twice in a row.
    match_t m;
    m.decoded.assign(sent.size(), 0);
    std::unordered_set<word64_t> sent_set(sent.begin(), sent.end());
    size_t next = 0;
    word64_t last = 0;
    bool have_last = false;
    for (word64_t v : found) {
        if (v == system_word) {
            m.system_decoded++;
            have_last = false;
            continue;
        }
        if (have_last && v == last)
            continue;
        last = v;
        have_last = true;
        size_t k = next;
        while (k < sent.size() && k < next + 4096 && sent[k] != v)
            k++;
        if (k < sent.size() && sent[k] == v) {
            m.address_decoded++;
            m.decoded[k] = 1;
            next = k + 1;
        } else if (sent_set.count(v)) {
            m.address_decoded++;  // out of the expected order: still a real codeword
        } else {
            m.false_codewords++;
            match_t::false_t f{v, 0, -1};
            int nearest = 65;
            for (size_t j = next > 2 ? next - 2 : 0; j < sent.size() && j < next + 64; j++)
                if (__builtin_popcountll(sent[j] ^ v) < nearest) {
                    nearest = __builtin_popcountll(sent[j] ^ v);
                    f.sent = sent[j];
                    f.slot = (long long)j;
                }
            if (nearest <= 8)
                m.differing++;
            m.falses.push_back(f);
        }
    }
    return m;
}
