// Crash path and log line: every broken precondition, unsupported combination
// and bad input of the system ends here. Both crash forms flush standard output
// first (detail lines printed just before a crash stay in front of it), then write
// their header and the message to standard error and end with status 1; every
// other "print a message and exit 1" check ends through crash_exit as well, so a
// fuzz build can replace that one last step. Allocates nothing; main thread only.
#pragma once

#include <cstdarg>

// Format checking of the printf-style functions against the printf the build
// links: mingw's C99 family on Windows (its "%zu" and "%llu" match Linux), the C
// library's everywhere else.
#if defined(__MINGW32__)
#define CRASH_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define CRASH_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

// "crash in %s at %s:%d\n" then the message; the Linux build passes "" as func.
[[noreturn]] void mycrash(const char* file, int line, const char* func, const char* fmt, ...) CRASH_PRINTF_FORMAT(4, 5);
// "crash at %s:%d\n" then the message (renderer and image code).
[[noreturn]] void n3d_crash(const char* file, int line, const char* fmt, ...) CRASH_PRINTF_FORMAT(3, 4);

// Where a crash says it happened. A call site names its source the Linux way,
// mycrash("src/memarena", 104, "", ...): the path in the source tree's old
// layout, the line and an empty function. The Windows build reports the failing
// function's name and the full path under which the file was built, with the
// real line: there the calls are rewritten to pass __FILE__, __LINE__ and
// __func__; the site's own three are still evaluated (what only computes them
// stays used) but not reported. The functions themselves are written in
// parentheses, (mycrash)(...), to call them with a site as given.
#if defined(_WIN32)
#define mycrash(file, line, func, ...) \
    (mycrash)(((void)(file), (void)(line), (void)(func), __FILE__), __LINE__, __func__, __VA_ARGS__)
#define n3d_crash(file, line, ...) (n3d_crash)(((void)(file), (void)(line), __FILE__), __LINE__, __VA_ARGS__)
#endif
// "[%s:%d] " and the message to standard error; adds no newline, returns.
void n3d_log(const char* file, int line, const char* fmt, ...) CRASH_PRINTF_FORMAT(3, 4);

// Flushes both streams and ends the program with status. The one way out for
// every failure exit of the system.
[[noreturn]] void crash_exit(int status);

// Replaces the last step of crash_exit (the call of exit). A fuzz target points
// it at a longjmp back into itself; the hook must not return.
typedef void (*crash_exit_hook)(int status);
void crash_set_exit_hook(crash_exit_hook hook);

// A check that prints its own message to standard output (stream 1) or
// standard error (stream 2) and exits with status 1.
[[noreturn]] void crash_fail(int stream, const char* fmt, ...) CRASH_PRINTF_FORMAT(2, 3);
