// Running the real program as a child on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "harness.h"

void exec_child(const std::string& dir, const std::vector<std::string>& argv)
{
    if (!dir.empty() && chdir(dir.c_str()) != 0)
        _exit(126);
    std::vector<char*> words;
    for (const std::string& a : argv)
        words.push_back(const_cast<char*>(a.c_str()));
    words.push_back(nullptr);
    execvp(words[0], words.data());
    _exit(127);
}

static run_result_t run(const std::string& program, const std::vector<std::string>& args,
                        const std::string& dir, const std::string& stdin_data, int timeout_s,
                        const std::function<void(int pid)>& meanwhile)
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
        exec_child(dir, command_line(program, args));
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    std::thread beside;
    if (meanwhile)
        beside = std::thread(meanwhile, (int)pid);
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
    // The child is not reaped before the thread is done with it, so that
    // its process id cannot be someone else's when the thread signals it.
    if (beside.joinable())
        beside.join();
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

run_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::string& stdin_data, int timeout_s)
{
    return run(program, args, dir, stdin_data, timeout_s, nullptr);
}

run_result_t run_program_meanwhile(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& dir, const std::function<void(int pid)>& meanwhile,
                                   int timeout_s)
{
    return run(program, args, dir, "", timeout_s, meanwhile);
}

std::vector<std::string> files_in(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}
