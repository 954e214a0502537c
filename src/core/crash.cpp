#include "core/crash.h"

#include <cstdio>
#include <cstdlib>

static crash_exit_hook g_crash_exit_hook = nullptr;

void crash_set_exit_hook(crash_exit_hook hook) { g_crash_exit_hook = hook; }

void crash_exit(int status)
{
    fflush(stdout);
    fflush(stderr);
    if (g_crash_exit_hook)
        g_crash_exit_hook(status);
    exit(status);
}

void(mycrash)(const char* file, int line, const char* func, const char* fmt, ...)
{
    fflush(stdout);
    fprintf(stderr, "crash in %s at %s:%d\n", func, file, line);
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    crash_exit(1);
}

void(n3d_crash)(const char* file, int line, const char* fmt, ...)
{
    fflush(stdout);
    fprintf(stderr, "crash at %s:%d\n", file, line);
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    crash_exit(1);
}

void n3d_log(const char* file, int line, const char* fmt, ...)
{
    fflush(stdout);
    fprintf(stderr, "[%s:%d] ", file, line);
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    // Standard error is not unbuffered everywhere (the Windows C runtime may
    // buffer it): the line must stand before anything printed after it.
    fflush(stderr);
}

void crash_fail(int stream, const char* fmt, ...)
{
    // Anything already printed on standard output stays in front of the message.
    fflush(stdout);
    FILE* out = stream == 2 ? stderr : stdout;
    va_list args;
    va_start(args, fmt);
    vfprintf(out, fmt, args);
    va_end(args);
    crash_exit(1);
}
