// Test support for runs of the quillfern program itself: start it headless in a
// working directory holding a production, let it run, end it with a signal
// (SIGTERM becomes SDL's quit event) and collect its exit and both streams
// through the shared capture (support/capture.h). host_program_workdir() makes
// the directory the program tests use, with the production set up in it.
#pragma once

#include <signal.h>

#include <string>
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

// Runs the program with args in cwd with env entries added, sends sig (SIGTERM
// unless given) after run_ms milliseconds and waits up to timeout_s seconds
// for it to end (then kills it: exited 0, status SIGKILL).
inline captured_run host_program_run_then_term(const std::vector<std::string>& args, const std::string& cwd,
                                               const std::vector<std::string>& env, int run_ms, int sig = SIGTERM,
                                               int timeout_s = 30)
{
    std::vector<std::string> argv{host_program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return capture_program_signalled(argv, cwd, env, run_ms, sig, timeout_s);
}

// Removes a test directory, its production and the files directly in it.
inline void host_program_remove_dir(const std::string& dir)
{
    vexil_fixture_remove_production(dir);
    capture_remove_dir(dir);
}
