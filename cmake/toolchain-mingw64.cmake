# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, which std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BREVOLT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BREVOLT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BREVOLT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BREVOLT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BREVOLT_MINGW_PREFIX})
# The libraries tools/windows-toolchain.sh built (Qt, libcurl, SQLite), when
# the build uses them.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BREVOLT_WINDOWS_TOOLCHAIN BREVOLT_MINGW_STATIC_RUNTIME)
if(BREVOLT_WINDOWS_TOOLCHAIN)
    list(APPEND CMAKE_FIND_ROOT_PATH ${BREVOLT_WINDOWS_TOOLCHAIN}/qt
        ${BREVOLT_WINDOWS_TOOLCHAIN}/curl ${BREVOLT_WINDOWS_TOOLCHAIN}/sqlite)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The platform layer's programs carry their C++ and thread runtime, so they
# run where no MinGW DLLs are installed. Qt and what links it share the
# runtime DLLs instead: one C++ runtime across every DLL boundary.
option(BREVOLT_MINGW_STATIC_RUNTIME "Link the MinGW runtime statically" ON)
if(BREVOLT_MINGW_STATIC_RUNTIME)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()
