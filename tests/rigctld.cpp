#include "rigctld.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One rigctl command on a new connection; its first line of answer, or ""
// when there is none.
std::string ask(int port, const std::string& command)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return "";
    sockaddr_in a = loopback(port);
    std::string line;
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(s, (sockaddr*)&a, sizeof a) == 0 &&
        send(s, command.data(), command.size(), MSG_NOSIGNAL) == (ssize_t)command.size()) {
        char c;
        while (recv(s, &c, 1, 0) == 1 && c != '\n')
            line += c;
    }
    close(s);
    return line;
}

}  // namespace

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool rigctld_available()
{
#ifdef MARROWIT_HAMLIB
    return std::system("rigctld --version >/dev/null 2>&1") == 0;
#else
    return false;
#endif
}

int free_loopback_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, (sockaddr*)&a, sizeof a) != 0 || getsockname(s, (sockaddr*)&a, &len) != 0)
        throw std::runtime_error("no free port on 127.0.0.1");
    close(s);
    return ntohs(a.sin_port);
}

rigctld_t::rigctld_t(int p) : port(p)
{
    if (!start())
        throw std::runtime_error("rigctld does not start");
}

rigctld_t::~rigctld_t()
{
    stop();
}

bool rigctld_t::start()
{
    for (int attempt = 0; attempt < 5; attempt++) {
        int p = port ? port : free_loopback_port();
        std::string t = std::to_string(p);
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("rigctld", "rigctld", "-m", "1", "-T", "127.0.0.1", "-t", t.c_str(), (char*)nullptr);
            _exit(127);
        }
        for (long long end = now_ms() + 10000; now_ms() < end; pause_ms(10)) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;  // the port was taken after all
                break;
            }
            if (!ask(p, "f\n").empty()) {
                port = p;
                return true;
            }
        }
        stop();
    }
    return false;
}

void rigctld_t::stop()
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

long long rigctld_t::freq() const
{
    std::string answer = ask(port, "f\n");
    return answer.empty() ? -1 : std::atoll(answer.c_str());
}

long long rigctld_t::wait_freq(long long hz, int ms) const
{
    long long f = freq();
    for (long long end = now_ms() + ms; f != hz && now_ms() < end; pause_ms(5))
        f = freq();
    return f;
}

piped_program_t::piped_program_t(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& d)
    : dir(d)
{
    // Close-on-exec: a rigctld started later must not hold the pipe open.
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int out = open("console.out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = open("console.err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(p[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        exec_child("", argv);
    }
    close(p[0]);
    in = p[1];
    signal(SIGPIPE, SIG_IGN);
}

piped_program_t::~piped_program_t()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        finish();
    }
}

std::string piped_program_t::feed(const std::string& samples)
{
    std::string data = samples;
    const size_t read_size = 1080;
    data.append((read_size - (written + data.size()) % read_size) % read_size, (char)128);
    for (size_t at = 0; at < data.size();) {
        ssize_t w = write(in, data.data() + at, data.size() - at);
        if (w <= 0)
            throw std::runtime_error("the program stopped reading");
        at += (size_t)w;
    }
    written += data.size();
    return data;
}

bool piped_program_t::wait_for(const std::string& text, const char* file, int ms) const
{
    for (long long end = now_ms() + ms; now_ms() < end; pause_ms(5))
        if (read_file(dir + "/" + file).find(text) != std::string::npos)
            return true;
    return false;
}

run_result_t piped_program_t::finish()
{
    run_result_t r;
    if (in >= 0)
        close(in);
    in = -1;
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    pid = -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(dir + "/console.out");
    r.err = read_file(dir + "/console.err");
    return r;
}
