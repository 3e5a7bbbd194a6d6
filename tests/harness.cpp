#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "mpt1327/mpt1327.h"

static FILE* captured;
static long captured_read;

void reset_decoder()
{
    mpt1327_state = mpt1327_t{};
    currentsys = 0xffff;
    std::strcpy(sys, "0xffff");
    filt = verb = track = sound = logger = 0;
    trg_pre = trg_id = 0;
    baseFreq = 420.0;
    offset = 2;
    step = 0.0125;
    control = 420.0;
    portadr = 1;
    portspeed = 9600;
    rx = 1;
    portdev.clear();
    std::strcpy(sysname, "Unregistered");
    std::memset(ptext, 0, sizeof ptext);
    if (logfile)
        std::fclose(logfile);
    logfile = nullptr;
    removemsg = 0;
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
    std::string base = std::filesystem::temp_directory_path().string() + "/marrowit-test-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back(0);
    if (!mkdtemp(name.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path = name.data();
}

temp_dir_t::~temp_dir_t()
{
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
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

run_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::string& stdin_data, int timeout_s)
{
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    run_result_t r;
    size_t written = 0;
    int in_fd = in[1];
    if (stdin_data.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (out_open || err_open) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd p[3];
        int n = 0;
        if (out_open)
            p[n++] = {out[0], POLLIN, 0};
        if (err_open)
            p[n++] = {err[0], POLLIN, 0};
        if (in_fd >= 0)
            p[n++] = {in_fd, POLLOUT, 0};
        if (poll(p, (nfds_t)n, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (!p[i].revents)
                continue;
            if (p[i].fd == in_fd) {
                ssize_t w = write(in_fd, stdin_data.data() + written,
                                  std::min<size_t>(65536, stdin_data.size() - written));
                if (w > 0)
                    written += (size_t)w;
                if (w < 0 || written == stdin_data.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(p[i].fd);
                (p[i].fd == out[0] ? out_open : err_open) = false;
            } else {
                (p[i].fd == out[0] ? r.out : r.err).append(buf, (size_t)got);
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    if (out_open)
        close(out[0]);
    if (err_open)
        close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
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
