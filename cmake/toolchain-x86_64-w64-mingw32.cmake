# Cross build for x86_64 Windows with MinGW-w64.
#
# The -posix compilers are required: with the win32 thread model of GCC 12,
# std::thread and std::mutex (and so GoogleTest) do not compile.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STW_TRIPLE x86_64-w64-mingw32 CACHE STRING "target triple of the MinGW-w64 toolchain")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The 64-bit build is the one we test: its programs (test discovery, ctest)
# run under wine64 through this wrapper, which uses the prefix named by the
# environment.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
