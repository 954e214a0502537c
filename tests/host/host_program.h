// Test support for runs of the quillfern program itself: start it headless in a
// working directory, let it run, end it with SIGTERM (SDL turns that into a
// quit event) and collect its exit and both streams. The working directory is
// a parameter of every run; host_program_workdir() makes the one the program
// tests use, and is where the production's assets get set up once the program
// needs them to run.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "support/vexil_fixture.h"

inline std::string host_program_path() { return std::string(QF_BINARY_DIR) + "/quillfern"; }

// A fresh directory holding a production without rows (assets/vexil/le/pak*.vxf
// written with the pack writer): the program loads it and runs until told to quit.
inline std::string host_program_workdir()
{
    std::string dir = capture_temp_dir();
    vexil_fixture_write_idle_production(dir);
    return dir;
}

inline std::string host_program_slurp(int fd)
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

// Runs the program with args in cwd with env entries added, sends sig (SIGTERM
// unless given) after run_ms milliseconds and waits up to timeout_s seconds
// for it to end (then kills it: exited 0, status SIGKILL).
inline captured_run host_program_run_then_term(const std::vector<std::string>& args, const std::string& cwd,
                                               const std::vector<std::string>& env, int run_ms, int sig = SIGTERM,
                                               int timeout_s = 30)
{
    char out_name[] = "/tmp/qf_prog_out_XXXXXX", err_name[] = "/tmp/qf_prog_err_XXXXXX";
    int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    std::string path = host_program_path();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        for (const std::string& e : env)
            putenv(strdup(e.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    bool done = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            done = true;  // ended by itself before the signal
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done) {
        kill(pid, sig);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        while (waitpid(pid, &wstatus, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    captured_run r{};
    r.exited = WIFEXITED(wstatus);
    r.status = r.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
    r.out = host_program_slurp(out_fd);
    r.err = host_program_slurp(err_fd);
    return r;
}

// Names in dir that start with prefix and end with suffix, sorted.
inline std::vector<std::string> host_program_list(const std::string& dir, const std::string& prefix,
                                                  const std::string& suffix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() >= prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Removes a test directory, its production and the files directly in it.
inline void host_program_remove_dir(const std::string& dir)
{
    vexil_fixture_remove_production(dir);
    for (const std::string& n : host_program_list(dir, "", ""))
        if (n != "." && n != "..")
            unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}
