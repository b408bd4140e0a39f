# Cross build for x86_64 Windows with MinGW-w64.
#
# The -posix compilers are required: with the win32 thread model of GCC 12,
# std::thread and std::mutex (and so GoogleTest) do not compile.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STW_TRIPLE x86_64-w64-mingw32 CACHE STRING "target triple of the MinGW-w64 toolchain")

set(CMAKE_C_COMPILER   ${STW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${STW_TRIPLE}-windres)

# Look for libraries and headers only in the target's sysroot, never in the
# host's /usr: a host library linked into a Windows program fails late and
# confusingly. Programs (code generators, scripts) still come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${STW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the C and C++ runtimes and winpthread in, so that every program needs
# nothing but the DLLs that come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The 64-bit build is the one we test: its programs (test discovery, ctest)
# run under wine64 through this wrapper, which uses the prefix named by the
# environment.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
