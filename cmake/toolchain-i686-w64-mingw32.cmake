# Cross build for i686 Windows with MinGW-w64.
#
# The -posix compilers are required: with the win32 thread model of GCC 12,
# std::thread and std::mutex (and so GoogleTest) do not compile.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(STW_TRIPLE i686-w64-mingw32 CACHE STRING "target triple of the MinGW-w64 toolchain")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# No emulator: 32-bit Windows programs cannot execute on our Linux machines
# (there is no 32-bit Wine), so this build only compiles and links; the
# same sources are tested through the 64-bit build.
