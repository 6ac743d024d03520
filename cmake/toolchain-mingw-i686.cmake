# Cross-compiles for Windows (i686) with mingw-w64 (Debian: g++-mingw-w64-i686).
#   cmake -S . -B build-mingw32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TQRF_MINGW_TRIPLE i686-w64-mingw32)

# The win32 thread model needs no threading runtime DLL; fall back to the default compilers.
find_program(CMAKE_C_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-gcc-win32 ${TQRF_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-g++-win32 ${TQRF_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TQRF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
