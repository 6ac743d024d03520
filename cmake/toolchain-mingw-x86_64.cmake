# Cross-compiles for Windows (x86_64) with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-mingw64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TQRF_MINGW_TRIPLE x86_64-w64-mingw32)

# The win32 thread model needs no threading runtime DLL; fall back to the default compilers.
find_program(CMAKE_C_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-gcc-win32 ${TQRF_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-g++-win32 ${TQRF_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TQRF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
