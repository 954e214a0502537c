// Test support: runs a piece of code in a forked child with its standard output
// and standard error captured, so a crash path's exit status and both of its
// streams can be checked; runs a program the same way; and keeps the
// temporary directories such runs work in.
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

// As capture_program, but sends sig to the program after run_ms milliseconds
// unless it ended by itself, then waits up to timeout_s seconds for it to end.
captured_run capture_program_signalled(const std::vector<std::string>& argv, const std::string& cwd,
                                       const std::vector<std::string>& env, int run_ms, int sig, int timeout_s);

// A fresh empty directory under the system's temporary folder, removed with
// all it holds when the test program ends.
std::string capture_temp_dir();
// Names in dir (not "." and "..") that start with prefix and end with suffix, sorted.
std::vector<std::string> capture_list_dir(const std::string& dir, const std::string& prefix, const std::string& suffix);
// Removes the files directly in dir, then dir itself (empty by then).
void capture_remove_dir(const std::string& dir);
