#include "support/capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static std::string capture_slurp(int fd)
{
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)n);
    close(fd);
    return s;
}

static int capture_tmpfile()
{
    char name[] = "/tmp/qf_capture_XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    return fd;
}

static captured_run capture_wait(pid_t pid, int out_fd, int err_fd, int timeout_s)
{
    captured_run r{};
    int wstatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.exited = WIFEXITED(wstatus);
    r.status = r.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
    r.out = capture_slurp(out_fd);
    r.err = capture_slurp(err_fd);
    return r;
}

captured_run capture_run(const std::function<void()>& fn)
{
    int out_fd = capture_tmpfile(), err_fd = capture_tmpfile();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    return capture_wait(pid, out_fd, err_fd, 120);
}

captured_run capture_program(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::vector<std::string>& env, int timeout_s)
{
    int out_fd = capture_tmpfile(), err_fd = capture_tmpfile();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        for (const std::string& e : env)
            putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return capture_wait(pid, out_fd, err_fd, timeout_s);
}

std::string capture_temp_dir()
{
    char name[] = "/tmp/qf_test_XXXXXX";
    char* d = mkdtemp(name);
    return d ? std::string(d) : std::string("/tmp");
}
