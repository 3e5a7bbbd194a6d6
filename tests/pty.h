// Pseudo-terminal pairs for the serial port tests: the slave stands in for
// the receiver's serial line (it is what CSerial opens), the master is the
// receiver's end, where the test reads what was sent.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

inline long long pty_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct pty_t {
    int master = -1;
    std::string slave;  // path of the slave device

    pty_t()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
        const char* name = ptsname(master);
        if (!name)
            throw std::runtime_error("ptsname failed");
        slave = name;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~pty_t() { close_master(); }
    pty_t(const pty_t&) = delete;
    pty_t& operator=(const pty_t&) = delete;

    // Fill the line from the slave's side until it takes no more, as a
    // receiver that never reads leaves it.  In raw mode, as CSerial uses the
    // line (output processing holds back room of its own); the terminal
    // layer frees room behind the writer for a while, so the filling goes
    // on until writes have failed five times in a row.
    void fill()
    {
        int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            throw std::runtime_error("cannot open " + slave);
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        char block[4096];
        std::memset(block, 'f', sizeof block);
        for (int quiet = 0; quiet < 5;) {
            if (::write(fd, block, sizeof block) > 0) {
                quiet = 0;
                continue;
            }
            if (errno != EAGAIN)
                throw std::runtime_error(std::string("filling the line: ") + std::strerror(errno));
            quiet++;
            usleep(50000);
        }
        ::close(fd);
    }

    void close_master()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    // Whatever is waiting on the master now (nothing when the slave side is
    // closed and drained).
    std::string read_now()
    {
        std::string got;
        char buf[4096];
        for (;;) {
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0)
                return got;
            got.append(buf, (size_t)r);
        }
    }

    // Collect what arrives on the master: returns once at least `expected`
    // bytes are in and nothing more came for quiet_ms, or after limit_ms.
    std::string read_master(size_t expected, int quiet_ms = 150, int limit_ms = 5000)
    {
        std::string got;
        long long start = pty_now_ms(), last = start;
        for (;;) {
            struct pollfd p = {master, POLLIN, 0};
            poll(&p, 1, 20);
            std::string more = read_now();
            long long now = pty_now_ms();
            if (!more.empty()) {
                got += more;
                last = now;
            } else if (p.revents) {
                usleep(5000);  // hang-up with nothing to read: no busy loop
            }
            if (got.size() >= expected && now - last >= quiet_ms)
                return got;
            if (now - start >= limit_ms)
                return got;
        }
    }
};

// Drains a master in a thread while something else (the real program)
// writes to the slave.
struct pty_drain_t {
    pty_t* pty;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::string got;
    std::thread worker;

    explicit pty_drain_t(pty_t* p) : pty(p)
    {
        worker = std::thread([this] {
            while (!stop) {
                struct pollfd p = {pty->master, POLLIN, 0};
                poll(&p, 1, 20);
                std::string more = pty->read_now();
                if (!more.empty()) {
                    std::lock_guard<std::mutex> g(lock);
                    got += more;
                } else if (p.revents) {
                    usleep(5000);
                }
            }
        });
    }
    // Stop and return everything received (with a last look after a pause
    // for bytes still on their way through the terminal layer).
    std::string finish()
    {
        if (worker.joinable()) {
            usleep(100000);
            stop = true;
            worker.join();
            got += pty->read_now();
        }
        return got;
    }
    ~pty_drain_t() { finish(); }
};

// Open file descriptors of this process.
inline int open_fds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}
