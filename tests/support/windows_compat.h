// Test support for the Windows build: the few POSIX calls the tests make,
// written over the C runtime's own. The Windows build's test programs read it
// before anything else (a compile option), so the tests keep one text; it adds
// nothing elsewhere.
#pragma once

#if defined(_WIN32)
#include <direct.h>
#include <io.h>

#include <cstdlib>
#include <filesystem>

inline int setenv(const char* name, const char* value, int overwrite)
{
    if (!overwrite && getenv(name))
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}
// An empty value removes the variable.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
// The mode has no meaning for a Windows directory.
inline int mkdir(const char* path, int) { return _mkdir(path); }
// A copy stands in for the link: Windows makes symbolic links only with a
// privilege that a test run does not have. An existing copy is replaced: a
// child run replays the test's set-up in the same directory. It is removed
// first, as the C++ library's overwrite compares file identities through
// st_ino, which is 0 for every file here, and so refuses any existing one.
inline int symlink(const char* target, const char* path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return std::filesystem::copy_file(target, path, ec) ? 0 : -1;
}
#endif
