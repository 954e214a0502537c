# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain
# (g++-mingw-w64-x86-64-posix: the posix thread model, so std::thread and the
# C++ runtime's locks work). Programs built here run on Linux under wine: the
# emulator below is what CMake and ctest put in front of them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QF_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QF_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QF_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread go into every program, so a program
# needs no DLL beside it but SDL2.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
