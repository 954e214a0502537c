# The Windows build's own steps, read at the end of the root project() call
# (the windows preset names this file in CMAKE_PROJECT_INCLUDE):
# - SDL2 for Windows, built from Debian's SDL2 source package into
#   <build>/deps/sdl2 the first time the tree is configured, and kept there;
# - GoogleTest for Windows, built from Debian's googletest sources into
#   <build>/deps/gtest the same way;
# - every program runs under wine (scripts/wine-run.sh) when the build or ctest
#   starts it;
# - quillfern.exe gets SDL2.dll beside it, and quillfern.zip holds both with the
#   sample production's packs.
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING))
  return()
endif()

set(QF_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/deps)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR})

include(ProcessorCount)
ProcessorCount(QF_WINDOWS_JOBS)
if(QF_WINDOWS_JOBS EQUAL 0 OR QF_WINDOWS_JOBS GREATER 6)
  set(QF_WINDOWS_JOBS 6)
endif()

# Configures, builds and installs one dependency with this build's toolchain.
function(qf_windows_dependency name source_dir)
  set(build_dir ${QF_WINDOWS_DEPS}/${name}-build)
  set(install_dir ${QF_WINDOWS_DEPS}/${name})
  message(STATUS "Building ${name} for Windows from ${source_dir} (once per build tree)")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${source_dir} -B ${build_dir} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${install_dir} ${ARGN}
    OUTPUT_FILE ${QF_WINDOWS_DEPS}/${name}-configure.log ERROR_FILE ${QF_WINDOWS_DEPS}/${name}-configure.log
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring ${name} for Windows failed, see ${QF_WINDOWS_DEPS}/${name}-configure.log")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} --build ${build_dir} --parallel ${QF_WINDOWS_JOBS}
    COMMAND_ECHO NONE
    OUTPUT_FILE ${QF_WINDOWS_DEPS}/${name}-build.log ERROR_FILE ${QF_WINDOWS_DEPS}/${name}-build.log
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building ${name} for Windows failed, see ${QF_WINDOWS_DEPS}/${name}-build.log")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${build_dir}
    OUTPUT_QUIET ERROR_FILE ${QF_WINDOWS_DEPS}/${name}-install.log RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "installing ${name} for Windows failed, see ${QF_WINDOWS_DEPS}/${name}-install.log")
  endif()
endfunction()

file(MAKE_DIRECTORY ${QF_WINDOWS_DEPS})
if(NOT EXISTS ${QF_WINDOWS_DEPS}/sdl2/lib/cmake/SDL2/SDL2Config.cmake)
  if(NOT EXISTS ${QF_WINDOWS_DEPS}/sdl2-source/src/CMakeLists.txt)
    message(STATUS "Fetching Debian's SDL2 source package")
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-sdl2-source.sh ${QF_WINDOWS_DEPS}/sdl2-source
      OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "fetching the SDL2 source package failed")
    endif()
  endif()
  qf_windows_dependency(sdl2 ${QF_WINDOWS_DEPS}/sdl2-source/src
    -DSDL_SHARED=ON -DSDL_STATIC=OFF -DSDL_TEST=OFF -DSDL_INSTALL_TESTS=OFF)
endif()
if(NOT EXISTS ${QF_WINDOWS_DEPS}/gtest/lib/cmake/GTest/GTestConfig.cmake)
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "/usr/src/googletest is missing (Debian package googletest)")
  endif()
  qf_windows_dependency(gtest /usr/src/googletest -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON)
endif()
set(SDL2_DIR ${QF_WINDOWS_DEPS}/sdl2/lib/cmake/SDL2 CACHE PATH "SDL2 for Windows" FORCE)
set(GTest_DIR ${QF_WINDOWS_DEPS}/gtest/lib/cmake/GTest CACHE PATH "GoogleTest for Windows" FORCE)
set(QF_SDL2_DLL ${QF_WINDOWS_DEPS}/sdl2/bin/SDL2.dll)

# Header-only libraries serve both builds from Debian's copies; the rest of
# /usr/include belongs to Linux and stays out of this one.
file(MAKE_DIRECTORY ${QF_WINDOWS_DEPS}/include)
foreach(lib stb glm)
  if(IS_DIRECTORY /usr/include/${lib} AND NOT EXISTS ${QF_WINDOWS_DEPS}/include/${lib})
    file(CREATE_LINK /usr/include/${lib} ${QF_WINDOWS_DEPS}/include/${lib} SYMBOLIC)
  endif()
endforeach()
include_directories(SYSTEM ${QF_WINDOWS_DEPS}/include)
# M_PI and friends: glibc gives them to every C++ program, the Windows headers
# only on request.
add_compile_definitions(_USE_MATH_DEFINES)
# The C99 printf family of the mingw runtime ("%zu", "%llu" and "%lld" as on
# Linux) instead of the system DLL's.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

# Run after the root CMakeLists has made its targets.
function(qf_windows_package)
  if(NOT TARGET quillfern)
    return()
  endif()
  add_custom_command(TARGET quillfern POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${QF_SDL2_DLL} $<TARGET_FILE_DIR:quillfern>/SDL2.dll
    VERBATIM)
  if(TARGET sample_production)
    set(zip ${CMAKE_BINARY_DIR}/quillfern.zip)
    set(packs assets/vexil/le/pak0.vxf assets/vexil/le/pak1.vxf assets/vexil/le/pak2.vxf)
    list(TRANSFORM packs PREPEND ${CMAKE_BINARY_DIR}/ OUTPUT_VARIABLE pack_files)
    add_custom_command(OUTPUT ${zip}
      COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
      COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip quillfern.exe SDL2.dll ${packs}
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      DEPENDS quillfern sample_production ${QF_SDL2_DLL} ${pack_files}
      COMMENT "Packing quillfern.zip: the program, SDL2.dll and the production"
      VERBATIM)
    add_custom_target(windows_zip ALL DEPENDS ${zip})
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL qf_windows_package)
