#include "harness.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "events/output.h"
#include "mpt1327/calls.h"
#include "mpt1327/correct.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "receiver/receiver.h"

static FILE* captured;
static long captured_read;

void reset_decoder()
{
    mpt1327_state = mpt1327_t{};
    currentsys = 0xffff;
    std::strcpy(sys, "0xffff");
    filt = verb = track = sound = logger = correct = 0;
    trg_pre = trg_id = 0;
    calltimeout = 0;
    baseFreq = 420.0;
    offset = 2;
    step = 0.0125;
    control = 420.0;
    portadr = 1;
    portspeed = 9600;
    rx = 1;
    syncset = 0;
    dcremove = 1;
    demod = 0;
    sync_words[0] = sync_words[1] = sync_pair_t{SYNC_CONTROL, SYNC_DATA};
    portdev.clear();
    receiver_announced.clear();
    rigmodel = 2;
    rigpath = "localhost:4532";
    hamlib_reset();
    std::strcpy(sysname, "Unregistered");
    std::memset(ptext, 0, sizeof ptext);
    if (logfile)
        std::fclose(logfile);
    logfile = nullptr;
    removemsg = 0;
    calls_reset();
    timeout_reset();
    decode_counts = decode_counts_t{};
    bit_soft = bit_soft_t{};
    event_remove_sinks();
    input_remove_tickers();
    events_reset();
    report_event.type.clear();
    input_sample = 0;
    if (captured)
        std::fclose(captured);
    captured = std::tmpfile();
    captured_read = 0;
    console = captured;
}

std::string console_output()
{
    std::fflush(captured);
    long end = std::ftell(captured);
    std::string text((size_t)(end - captured_read), '\0');
    std::fseek(captured, captured_read, SEEK_SET);
    size_t n = std::fread(&text[0], 1, text.size(), captured);
    text.resize(n);
    std::fseek(captured, 0, SEEK_END);
    captured_read = end;
    return text;
}

void feed_bits(const gen_bits_t& bits)
{
    for (unsigned char b : bits)
        mpt1327(b, &mpt1327_state);
}

void feed_words(const std::vector<unsigned short>& words)
{
    for (unsigned short w : words)
        for (int i = 15; i >= 0; i--)
            mpt1327((unsigned char)((w >> i) & 1), &mpt1327_state);
}

temp_dir_t::temp_dir_t()
{
    std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 rng(((std::uint64_t)seed() << 32) ^ seed() ^
                        (std::uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[40];
        std::snprintf(name, sizeof name, "marrowit-test-%016llx", (unsigned long long)rng());
        std::error_code ec;
        if (std::filesystem::create_directory(base / name, ec)) {
            path = (base / name).string();
            return;
        }
        if (ec)
            throw std::runtime_error("cannot create a directory in " + base.string() + ": " +
                                     ec.message());
    }
    throw std::runtime_error("cannot create a directory in " + base.string());
}

temp_dir_t::~temp_dir_t()
{
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

in_dir_t::in_dir_t(const std::string& dir) : home(std::filesystem::current_path().string())
{
    std::filesystem::current_path(dir);
}

in_dir_t::~in_dir_t()
{
    std::error_code ec;
    std::filesystem::current_path(home, ec);
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary);
    f << content;
}

// Whether text at p is a ctime text: "Www Mmm dd hh:mm:ss yyyy".
static bool is_ctime(const std::string& t, size_t p)
{
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (p + 24 > t.size())
        return false;
    auto one_of = [&](size_t at, const char* const* names, int n) {
        for (int i = 0; i < n; i++)
            if (t.compare(at, 3, names[i]) == 0)
                return true;
        return false;
    };
    auto digit = [&](size_t at) { return t[at] >= '0' && t[at] <= '9'; };
    const char* shape = "www mmm Dd dd:dd:dd dddd";
    for (size_t i = 0; i < 24; i++) {
        char c = t[p + i];
        if ((shape[i] == ' ' || shape[i] == ':') && c != shape[i])
            return false;
        if (shape[i] == 'd' && !digit(p + i))
            return false;
        if (shape[i] == 'D' && c != ' ' && !digit(p + i))
            return false;
    }
    return one_of(p, days, 7) && one_of(p + 4, months, 12);
}

std::string without_cr(const std::string& text)
{
    std::string s;
    for (char c : text)
        if (c != '\r')
            s += c;
    return s;
}

std::string mask_times(const std::string& text)
{
    std::string out;
    for (size_t p = 0; p < text.size();) {
        if (is_ctime(text, p)) {
            out += "<TIME>";
            p += 24;
        } else {
            out += text[p++];
        }
    }
    return out;
}

std::vector<std::string> command_line(const std::string& program,
                                      const std::vector<std::string>& args)
{
    std::vector<std::string> cmd;
#ifdef MARROWIT_EMULATOR
    if (program == marrowit_path() || program == mptgen_path()) {
        std::istringstream words(MARROWIT_EMULATOR);
        for (std::string w; words >> w;)
            cmd.push_back(w);
    }
#endif
    cmd.push_back(program);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

const std::string& marrowit_path()
{
    static const std::string p = MARROWIT_BIN;
    return p;
}

const std::string& mptgen_path()
{
    static const std::string p = MPTGEN_BIN;
    return p;
}

std::string render_u8(const std::string& script, const gen_audio_t& opt)
{
    gen_bits_t bits;
    std::string error;
    if (gen_script(script, &bits, nullptr, &error) != 0)
        throw std::runtime_error("generator script: " + error);
    std::vector<unsigned char> u = gen_u8(gen_render(bits, opt));
    return std::string(u.begin(), u.end());
}
