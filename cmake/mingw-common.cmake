# Shared part of the mingw-w64 toolchain files: they set TQRF_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this file.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the tqrf tool needs std::thread, which the win32 model of GCC 12
# lacks. Its threads library (winpthread) is linked in statically, so nothing needs a threading
# runtime DLL. Fall back to the default compilers.
find_program(CMAKE_C_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-gcc-posix ${TQRF_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-g++-posix ${TQRF_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQRF_MINGW_TRIPLE}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TQRF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only packages of the build machine serve the Windows build too (the tqrf tool's CLI11
# and nlohmann-json). Their CMake files are copied into a find root of their own, next to links
# to their header folders only: the rest of the machine's /usr/include (glibc's headers) stays
# out of sight of the cross compiler.
if(NOT CMAKE_IN_TRY_COMPILE AND CMAKE_BINARY_DIR)
  set(_tqrf_header_only_root ${CMAKE_BINARY_DIR}/mingw-header-only)
  foreach(_tqrf_package CLI11:CLI nlohmann_json:nlohmann)
    string(REPLACE ":" ";" _tqrf_package ${_tqrf_package})
    list(GET _tqrf_package 0 _tqrf_name)
    list(GET _tqrf_package 1 _tqrf_headers)
    foreach(_tqrf_prefix /usr /usr/local)
      if(EXISTS ${_tqrf_prefix}/share/cmake/${_tqrf_name} AND
         EXISTS ${_tqrf_prefix}/include/${_tqrf_headers})
        file(MAKE_DIRECTORY ${_tqrf_header_only_root}/usr/share/cmake
             ${_tqrf_header_only_root}/usr/include)
        file(COPY ${_tqrf_prefix}/share/cmake/${_tqrf_name}
             DESTINATION ${_tqrf_header_only_root}/usr/share/cmake)
        if(NOT EXISTS ${_tqrf_header_only_root}/usr/include/${_tqrf_headers})
          file(CREATE_LINK ${_tqrf_prefix}/include/${_tqrf_headers}
               ${_tqrf_header_only_root}/usr/include/${_tqrf_headers} SYMBOLIC)
        endif()
        break()
      endif()
    endforeach()
  endforeach()
  list(APPEND CMAKE_FIND_ROOT_PATH ${_tqrf_header_only_root})
endif()
