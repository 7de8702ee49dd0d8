# Cross toolchain for the 64-bit Windows modules (MinGW-w64, POSIX thread
# model): Twain_64.ds, its test program and the 64-bit twacquire. The 32-bit
# build configures a build of its own with it (see the top CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Its programs run in the 64-bit Wine prefix, started by the 32-bit build's
# tests (tests/ds64/run64.sh), never by a CTest of this build.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
