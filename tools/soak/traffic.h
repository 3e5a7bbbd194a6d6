// Shared by the soak and the sensitivity tools: random reportable traffic,
// the real program as a child fed through a pipe, and the codewords it
// reports, found in its BINARY dumps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

typedef std::uint64_t word64_t;

word64_t pack(const unsigned short cw[4]);

// A random address codeword of a kind that always gives a report line at FILTER 5.
void random_message(std::mt19937_64& rng, unsigned short cw[4]);

// n control-channel slots: the system codeword and a random reportable
// address codeword each; the address codewords are added to *sent.
void append_slots(std::mt19937_64& rng, int n, const unsigned short system[4], std::vector<unsigned char>* bits,
                  std::vector<word64_t>* sent);

// Finds the BINARY dumps in the console output: "   " then four words of
// "dddddddd dddddddd" separated by three spaces.
struct dump_scanner_t {
    std::string carry;
    std::vector<word64_t> found;
    void feed(const char* data, size_t n);
};

// marrowit reading raw samples from a pipe in a directory of its own whose
// settings report everything with its bits, and a thread scanning what it says.
struct decoder_run_t {
    pid_t pid = -1;
    int input = -1;     // write the samples here
    int output = -1;
    std::string dir;
    dump_scanner_t scanner;
    std::thread reader;
    bool write_failed = false;

    // 0, or -1 when the program cannot be started.  general: more lines of
    // [general], "KEY=VALUE\n" each.
    int start(const std::string& marrowit, const std::string& general = "");
    void write(const std::vector<unsigned char>& samples);
    // Close the input, wait for the end; true when marrowit exited normally.
    bool finish();
};

// The options both tools take: one count (--hours or --slots), --seed,
// --marrowit and --set KEY=VALUE (a [general] setting, repeatable).  Exits
// with a usage line on anything else.
struct tool_args_t {
    double count;
    unsigned long long seed = 1;
    std::string marrowit;
    std::string general;  // "KEY=VALUE\n" for every --set
};
tool_args_t parse_tool_args(int argc, char** argv, const char* count_option, double count,
                            const char* usage);

struct match_t {
    long long system_decoded = 0, address_decoded = 0, false_codewords = 0;
    // Of the false codewords, those within 8 bits of an address codeword
    // sent at about that place: a codeword decoded as another one.
    long long differing = 0;
    std::vector<char> decoded;  // per address codeword sent: it was reported
    // Each false codeword: what was reported, the address codeword sent
    // nearest to it at about that place, and the slot that one was sent in.
    struct false_t {
        word64_t word, sent;
        long long slot;
    };
    std::vector<false_t> falses;
};

// Match the reported codewords with those sent: system codewords are all
// system_word; address codewords in the order of sent.  A reported codeword
// that was never sent is false.
match_t match_codewords(const std::vector<word64_t>& found, word64_t system_word,
                        const std::vector<word64_t>& sent);
