# Which parts of the project can be built here. A part that was asked for but lacks a package
# (or a compiler feature) is turned off with one message saying what to install; configuring
# never fails for it. The library itself needs only a C and C++ compiler and CMake.
#
# A part turned off here is turned off as a normal variable, which the subdirectories see in
# place of the cache option (the option keeps the value the user gave). What the build makes
# is in the cache as TQRF_PARTS_BUILT, what it leaves out (with the reason) as
# TQRF_PARTS_LEFT_OUT: `cmake -LA -N BUILD | grep TQRF_PARTS` shows both.

set(TQRF_PARTS_OFF_REASONS "")

macro(tqrf_part_off option why)
  message(NOTICE "tq_RWD_DLL: ${why}: ${option} is off for this build")
  set(${option} OFF)
  list(APPEND TQRF_PARTS_OFF_REASONS "${option}: ${why}")
endmacro()

# After every check: the cache entries that show what this build makes and what it leaves out.
function(tqrf_record_parts)
  set(built library)
  foreach(part IMAGE SIM TOOLS GATEWAY TESTS FUZZ BENCH WHEEL DOTNET)
    if(TQRF_BUILD_${part})
      string(TOLOWER ${part} name)
      list(APPEND built ${name})
    endif()
  endforeach()
  set(TQRF_PARTS_BUILT "${built}" CACHE STRING "What this build makes (set by configure)" FORCE)
  set(TQRF_PARTS_LEFT_OUT "${TQRF_PARTS_OFF_REASONS}"
      CACHE STRING "Parts asked for but left out, with the reason (set by configure)" FORCE)
endfunction()

macro(tqrf_check_parts)
  if(WIN32)
    # The simulator, the tests and the benchmarks need POSIX pseudo-terminals; a Windows build
    # is tested under Wine against a simulator on the build machine (tests/windows/wine-e2e.sh).
    set(TQRF_WIN32_WHY_SIM "the simulator needs POSIX pseudo-terminals, which Windows lacks")
    set(TQRF_WIN32_WHY_TESTS "the tests run on POSIX systems; a Windows build is tested under Wine (tests/windows/wine-e2e.sh)")
    set(TQRF_WIN32_WHY_FUZZ "the fuzz targets need clang's libFuzzer on a POSIX system")
    set(TQRF_WIN32_WHY_BENCH "the benchmarks drive the simulator, which needs POSIX pseudo-terminals")
    foreach(part SIM TESTS FUZZ BENCH)
      if(TQRF_BUILD_${part})
        tqrf_part_off(TQRF_BUILD_${part} "${TQRF_WIN32_WHY_${part}}")
      endif()
    endforeach()
  endif()

  # The card image library is built with the library; its JSON formats need nlohmann-json
  # (header-only, at build time only). The simulator program and the tool need the library.
  set(TQRF_BUILD_IMAGE ON)
  find_package(nlohmann_json 3 QUIET)
  if(NOT nlohmann_json_FOUND)
    tqrf_part_off(TQRF_BUILD_IMAGE "nlohmann-json not found (Debian: nlohmann-json3-dev), so no \
card image library (tq_RWD_DLL::image), no tqrf-sim program and no tqrf tool")
    foreach(part TOOLS BENCH)  # they run the tqrf-sim program
      if(TQRF_BUILD_${part})
        set(TQRF_BUILD_${part} OFF)
        list(APPEND TQRF_PARTS_OFF_REASONS "TQRF_BUILD_${part}: no card image library, no tqrf-sim")
      endif()
    endforeach()
  endif()

  if(TQRF_BUILD_TOOLS)
    find_package(CLI11 CONFIG QUIET)
    if(WIN32)
      include(CheckCXXSourceCompiles)
      check_cxx_source_compiles("#include <thread>
                                 int main() { std::thread t([] {}); t.join(); }"
                                TQRF_HAVE_STD_THREAD)
    endif()
    if(NOT TQRF_BUILD_SIM AND NOT WIN32)
      tqrf_part_off(TQRF_BUILD_TOOLS "the tqrf tool needs the simulator (TQRF_BUILD_SIM)")
    elseif(WIN32 AND NOT TQRF_HAVE_STD_THREAD)
      tqrf_part_off(TQRF_BUILD_TOOLS
                    "the compiler has no std::thread (the win32 thread model of mingw-w64; use \
the -posix compilers, Debian: g++-mingw-w64-*-posix, in a new build folder), so no tqrf tool")
    elseif(NOT CLI11_FOUND)
      tqrf_part_off(TQRF_BUILD_TOOLS "CLI11 not found (Debian: libcli11-dev), so no tqrf tool")
    endif()
  endif()

  # tqrf-gateway: Linux only; MQTT through Paho's C client (MQTTAsync, with its file
  # persistence), its configuration read by toml++.
  if(TQRF_BUILD_GATEWAY)
    find_path(TQRF_PAHO_INCLUDE MQTTAsync.h)
    find_library(TQRF_PAHO_LIB paho-mqtt3as)
    find_path(TQRF_TOMLPP_INCLUDE toml++/toml.h)
    find_package(OpenSSL QUIET)
    if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
      tqrf_part_off(TQRF_BUILD_GATEWAY "tqrf-gateway runs on Linux only")
    elseif(NOT TQRF_BUILD_IMAGE)
      tqrf_part_off(TQRF_BUILD_GATEWAY "tqrf-gateway needs nlohmann-json (Debian: nlohmann-json3-dev)")
    elseif(NOT TQRF_PAHO_INCLUDE OR NOT TQRF_PAHO_LIB)
      tqrf_part_off(TQRF_BUILD_GATEWAY "Paho MQTT C not found (Debian: libpaho-mqtt-dev), so no tqrf-gateway")
    elseif(NOT TQRF_TOMLPP_INCLUDE)
      tqrf_part_off(TQRF_BUILD_GATEWAY "toml++ not found (Debian: libtomlplusplus-dev), so no tqrf-gateway")
    elseif(NOT TARGET OpenSSL::SSL)
      tqrf_part_off(TQRF_BUILD_GATEWAY "OpenSSL not found (Debian: libssl-dev), so no tqrf-gateway")
    endif()
  endif()

  if(TQRF_BUILD_TESTS)
    find_package(GTest QUIET)
    if(NOT TARGET GTest::gtest_main)
      tqrf_part_off(TQRF_BUILD_TESTS "GoogleTest not found (Debian: libgtest-dev), so no tests")
    endif()
  endif()

  if(TQRF_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      tqrf_part_off(TQRF_BUILD_FUZZ
                    "the fuzz targets need clang (Debian: clang; configure with -DCMAKE_CXX_COMPILER=clang++)")
    else()
      include(CheckCXXSourceCompiles)
      set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
      set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
      check_cxx_source_compiles(
        "#include <cstddef>
         #include <cstdint>
         extern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }"
        TQRF_HAVE_LIBFUZZER)
      unset(CMAKE_REQUIRED_FLAGS)
      unset(CMAKE_REQUIRED_LINK_OPTIONS)
      if(NOT TQRF_HAVE_LIBFUZZER)
        tqrf_part_off(TQRF_BUILD_FUZZ
                      "clang cannot link libFuzzer here (Debian: libclang-rt-14-dev)")
      endif()
    endif()
  endif()

  if(TQRF_BUILD_BENCH AND NOT TQRF_BUILD_SIM)
    tqrf_part_off(TQRF_BUILD_BENCH "the benchmarks need the simulator (TQRF_BUILD_SIM)")
  endif()

  # The bindings: the Python wheel (written by a Python 3.8 or later) and the .NET assembly
  # (compiled by Mono's C# compiler). A Windows build's wheel is made with its bundle.
  set(TQRF_BUILD_WHEEL ${TQRF_BUILD_BINDINGS})
  set(TQRF_BUILD_DOTNET ${TQRF_BUILD_BINDINGS})
  if(TQRF_BUILD_BINDINGS AND NOT WIN32)
    find_package(Python3 3.8 COMPONENTS Interpreter QUIET)
    if(NOT Python3_Interpreter_FOUND)
      tqrf_part_off(TQRF_BUILD_WHEEL "no Python 3.8 or later found (Debian: python3), so no Python wheel")
    endif()
  elseif(TQRF_BUILD_BINDINGS)
    set(TQRF_BUILD_WHEEL OFF)
    message(STATUS "tq_RWD_DLL: the Windows wheel is made with the bundle (packaging/windows/bundle.sh)")
  endif()
  if(TQRF_BUILD_BINDINGS)
    find_program(TQRF_MCS mcs)
    if(NOT TQRF_MCS)
      tqrf_part_off(TQRF_BUILD_DOTNET "no C# compiler found (Debian: mono-mcs), so no .NET assembly")
    endif()
  endif()
  tqrf_record_parts()
endmacro()
