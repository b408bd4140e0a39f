# The part of the MinGW-w64 toolchain files that both targets share;
# STW_TRIPLE is set by the including file.

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
