# Cross build for 64-bit Windows with MinGW-w64 (Debian: mingw-w64). The POSIX thread
# model of the compilers is needed for std::thread and std::mutex. Programs are linked
# statically (C and C++ runtimes, winpthreads, and Qt when it is built in), so they run
# under Wine or on Windows without any further DLL.
#   without the window:  cmake -S . -B build/windows -G Ninja -DKORVANE_WITH_QT=OFF \
#                              -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   with it:             ... -DKORVANE_WINDOWS_QT=DIR (a static Qt for MinGW, see
#                              scripts/windows-qt.sh)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${mingw_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triple}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
# The Windows Qt is a target library like the MinGW runtime: it must be a find root too,
# or nothing in it is found in the ONLY modes below. Its moc, rcc and uic are the host's
# own Qt of the same version.
set(KORVANE_WINDOWS_QT "" CACHE PATH "A static Qt 6 for MinGW-w64 (empty: none)")
if(KORVANE_WINDOWS_QT)
    list(APPEND CMAKE_FIND_ROOT_PATH ${KORVANE_WINDOWS_QT})
    list(APPEND CMAKE_PREFIX_PATH ${KORVANE_WINDOWS_QT})
    set(QT_HOST_PATH /usr CACHE PATH "")
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
