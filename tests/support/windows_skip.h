// Test support: a case that cannot run in the Windows build (its programs run
// under wine on the build machine) says why and is reported as skipped there;
// everywhere else the macro does nothing.
#pragma once

#include <gtest/gtest.h>

#if defined(_WIN32)
#define QF_SKIP_ON_WINDOWS(why) GTEST_SKIP() << "not in the Windows build: " << why
#define QF_ONLY_ON_WINDOWS(why) static_cast<void>(0)
#else
#define QF_SKIP_ON_WINDOWS(why) static_cast<void>(0)
// A case of the Windows build's own behaviour, skipped in the Linux build.
#define QF_ONLY_ON_WINDOWS(why) GTEST_SKIP() << "only in the Windows build: " << why
#endif

// The reason of the cases whose reference is one of the Python programs
// (Pillow, audioop): wine starts a Linux program without a process that the
// Windows program could wait for.
#define QF_SKIP_PYTHON_REFERENCE "its reference is a Python program, which wine starts without a process to wait for"
