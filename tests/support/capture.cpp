#include "support/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

static pid_t capture_spawn(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& env, int out_fd, int err_fd)
{
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
    return pid;
}

captured_run capture_program(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::vector<std::string>& env, int timeout_s)
{
    int out_fd = capture_tmpfile(), err_fd = capture_tmpfile();
    pid_t pid = capture_spawn(argv, cwd, env, out_fd, err_fd);
    return capture_wait(pid, out_fd, err_fd, timeout_s);
}

captured_run capture_program_signalled(const std::vector<std::string>& argv, const std::string& cwd,
                                       const std::vector<std::string>& env, int run_ms, int sig, int timeout_s)
{
    int out_fd = capture_tmpfile(), err_fd = capture_tmpfile();
    pid_t pid = capture_spawn(argv, cwd, env, out_fd, err_fd);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_ms);
    while (std::chrono::steady_clock::now() < until) {
        int wstatus = 0;
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            // Ended by itself before the signal.
            captured_run r{};
            r.exited = WIFEXITED(wstatus);
            r.status = r.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
            r.out = capture_slurp(out_fd);
            r.err = capture_slurp(err_fd);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, sig);
    return capture_wait(pid, out_fd, err_fd, timeout_s);
}

std::vector<std::string> capture_list_dir(const std::string& dir, const std::string& prefix, const std::string& suffix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            if (n.size() >= prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void capture_remove_dir(const std::string& dir)
{
    for (const std::string& n : capture_list_dir(dir, "", ""))
        unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

// The test program's directories go when it ends; a forked child that ends
// through exit (the crash path) leaves them to the parent that made them.
static std::vector<std::string>* capture_temp_dirs;
static pid_t capture_temp_owner;

static void capture_temp_dirs_remove()
{
    if (getpid() != capture_temp_owner)
        return;
    std::error_code ec;
    for (const std::string& d : *capture_temp_dirs)
        std::filesystem::remove_all(d, ec);
}

std::string capture_temp_dir()
{
    char name[] = "/tmp/qf_test_XXXXXX";
    char* d = mkdtemp(name);
    if (!d)
        return "/tmp";
    if (!capture_temp_dirs) {
        capture_temp_dirs = new std::vector<std::string>;
        capture_temp_owner = getpid();
        atexit(capture_temp_dirs_remove);
    }
    capture_temp_dirs->push_back(d);
    return d;
}
