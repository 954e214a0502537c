// Test support: runs a piece of code in a forked child with its standard output
// and standard error captured, so a crash path's exit status and both of its
// streams can be checked; and runs a program the same way.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct captured_run {
    int exited;       // 1 when the child exited normally
    int status;       // its exit status (or the signal number when it did not exit)
    std::string out;  // everything it wrote to standard output
    std::string err;  // everything it wrote to standard error
};

// Runs fn in a child process; the child exits 0 when fn returns.
captured_run capture_run(const std::function<void()>& fn);

// Runs argv[0] with the arguments in argv, in directory cwd (empty: the current
// one), with extra environment entries "NAME=value" added; kills it after
// timeout_s seconds (then exited is 0 and status SIGKILL).
captured_run capture_program(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::vector<std::string>& env, int timeout_s);

// A fresh empty directory under the system's temporary folder.
std::string capture_temp_dir();
