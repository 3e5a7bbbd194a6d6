// Child processes for the tests that run several programs at once: the
// program under test, a real MQTT broker (mosquitto on a free loopback
// port), its clients.  POSIX only.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "rigctld.h"

inline bool port_open(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    bool ok = connect(s, (sockaddr*)&a, sizeof a) == 0;
    close(s);
    return ok;
}

inline bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process with its standard input on a pipe (when asked) and its
// output in files.
struct child_t {
    pid_t pid = -1;
    int input = -1;
    void start(const std::vector<std::string>& argv, const std::string& dir, const std::string& out,
               const std::string& err, bool pipe_input = false)
    {
        int p[2] = {-1, -1};
        if (pipe_input && pipe(p) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int i = pipe_input ? p[0] : open("/dev/null", O_RDONLY);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            for (int fd = 3; fd < 1024; fd++)
                close(fd);
            exec_child(dir, argv);
        }
        if (pipe_input) {
            close(p[0]);
            input = p[1];
        }
    }
    void write(const std::string& data)
    {
        signal(SIGPIPE, SIG_IGN);
        for (size_t done = 0; done < data.size();) {
            ssize_t n = ::write(input, data.data() + done, data.size() - done);
            ASSERT_GT(n, 0);
            done += (size_t)n;
        }
    }
    int wait(int sig = 0)
    {
        if (input >= 0)
            close(input);
        input = -1;
        if (pid <= 0)
            return -1;
        if (sig)
            kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~child_t() { wait(SIGKILL); }
};

// Poll until cond holds or seconds pass.
template <class F>
inline bool eventually(F cond, double seconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct broker_t {
    temp_dir_t& dir;
    int port = free_loopback_port();
    child_t process;
    explicit broker_t(temp_dir_t& d, bool password) : dir(d)
    {
        // Sessions survive a restart, so that a subscriber misses nothing.
        const passwd* pw = getpwuid(getuid());
        std::string conf = "listener " + std::to_string(port) + " 127.0.0.1\n" + "listener " +
                           std::to_string(port) + " ::1\n" +
                           "persistence true\npersistence_location " + dir.path + "/\n" +
                           "user " + (pw ? pw->pw_name : "root") + "\n";
        if (password) {
            write_file(dir.file("passwd"), "");
            EXPECT_EQ(std::system(("mosquitto_passwd -b " + dir.file("passwd") +
                                   " radio 's3cr\"t' 2>/dev/null")
                                      .c_str()),
                      0);
            conf += "allow_anonymous false\npassword_file " + dir.file("passwd") + "\n";
        } else {
            conf += "allow_anonymous true\n";
        }
        write_file(dir.file("mosquitto.conf"), conf);
        start();
    }
    void start()
    {
        process.start({"mosquitto", "-c", dir.file("mosquitto.conf")}, dir.path,
                      dir.file("broker.log"), dir.file("broker.log"));
        EXPECT_TRUE(eventually([&] { return port_open(port); }, 10)) << read_file(dir.file("broker.log"));
    }
    void stop() { process.wait(SIGTERM); }
};
