#!/usr/bin/env bash
# Builds the library and runs every test, stage by stage: formatting, a warnings-as-errors
# build with all tests and the ABI check against the earlier releases, the Python and .NET bindings, an AddressSanitizer +
# UndefinedBehaviorSanitizer build with all tests, a ThreadSanitizer build of the tests that
# drive readers from several threads, fuzzing, the Windows cross-builds with their checks and bundles, the Windows DLLs under Wine,
# and the packages (install, Debian packages, a user's programs built against both).
# Installs what it needs (apt-get, through sudo when not run as root).
#
#   scripts/test-all.sh                  # every stage, in order
#   scripts/test-all.sh werror packages  # only these (their builds must exist or be made)
#
# Each build directory is configured and built once, by the stage named after it; later stages
# use it as it is (build/ci-werror for the packages and the simulator of the Wine run). To add a
# stage, write a function stage_NAME and put NAME into STAGES where it belongs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
VERSION=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

STAGES=(packages format werror gateway bindings docs sanitize tsan fuzz mingw windows-checks wine docs-wine install)

step() { printf '\n==== %s ====\n' "$*"; }

stage_packages() {
    step "installing packages"
    scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 clang libclang-rt-14-dev \
        clang-format llvm-14 help2man lintian dpkg-dev icoutils \
        libpaho-mqtt-dev libtomlplusplus-dev libssl-dev mosquitto mosquitto-clients \
        python3-jsonschema python3-paho-mqtt openssl
    mkdir -p build
    # Wine is large: install it in the background while the first build runs.
    tests/windows/install-wine.sh >build/install-wine.log 2>&1 &
    WINE_INSTALL=$!
}

stage_format() {
    step "formatting (clang-format)"
    scripts/check-format.sh
}

stage_werror() {
    step "build with warnings as errors, all tests"
    # Installed under /usr by the Debian packages: configured for that prefix.
    cmake -S . -B build/ci-werror -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_WERROR=ON \
        -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build build/ci-werror -j"$JOBS"
    # The tests that talk to the simulated reader through pseudo-terminals depend on the
    # kernel delivering their bytes within a few milliseconds. A package install beside them
    # (unpacking and syncing hundreds of megabytes) can hold that up for longer than the
    # library's 40 ms wait, so no test runs until the background install is over.
    wait_for_wine_install
    # The gateway's tests have a stage of their own (below).
    ctest --test-dir build/ci-werror --output-on-failure -j"$JOBS" -LE gateway
    step "10 dumps in a row through the tool, 2 % of replies lost and 1 % garbled"
    BUILD=build/ci-werror bench/soak/dump_soak.sh 10
    step "ABI of the shared library against the earlier releases (abidiff)"
    scripts/install-deps.sh abigail-tools
    scripts/abi-check.sh build/ci-werror
}

stage_gateway() {
    step "tqrf-gateway against a real broker (mosquitto), simulated readers and MQTT clients"
    # Built by the werror stage when its packages are there (installed by the packages stage).
    if [ ! -x build/ci-werror/gateway/tqrf-gateway ]; then
        echo "test-all: build/ci-werror has no tqrf-gateway (see the configure notices)" >&2
        return 1
    fi
    # A real broker and real processes on a shared two-core machine: a case that fails is run
    # once more, and fails the stage only when it fails again.
    ctest --test-dir build/ci-werror --output-on-failure -L gateway --repeat until-pass:2
}

stage_sanitize() {
    step "build with AddressSanitizer and UndefinedBehaviorSanitizer, all tests"
    cmake -S . -B build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DTQRF_WERROR=ON -DTQRF_SANITIZE=ON \
        -DTQRF_INSTALL=OFF >/dev/null
    cmake --build build/ci-sanitize -j"$JOBS"
    # The gateway's tests (a broker and its clients, in real time) run in their own stage.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/ci-sanitize --output-on-failure -j"$JOBS" -LE gateway
}

stage_bindings() {
    step "Python package (offline install into a fresh venv, mypy, pytest) and .NET binding (Mono)"
    bindings/run-tests.sh build/ci-werror
}

stage_docs() {
    step "the shell commands of README.md and docs/ as written, on the simulated reader"
    scripts/doc-test.sh
}

stage_docs-wine() {
    step "the Wine commands of docs/windows.md as written"
    wait_for_wine_install
    scripts/doc-test.sh --wine
}

stage_tsan() {
    step "ThreadSanitizer: readers driven from several threads, the handle API, the C++ API"
    cmake -S . -B build/ci-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQRF_WERROR=ON -DTQRF_TSAN=ON \
        -DTQRF_INSTALL=OFF >/dev/null
    local programs=(tests/contract_tests tests/e2e/e2e_tests tests/api/tqrf_api_sim_tests)
    cmake --build build/ci-tsan -j"$JOBS" --target contract_tests e2e_tests e2e_open_probe \
        tqrf_api_sim_tests
    for program in "${programs[@]}"; do
        echo "tsan: $program"
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "build/ci-tsan/$program" \
            --gtest_brief=1
    done
}

stage_fuzz() {
    step "fuzzing every reply path, the codecs and the simulator's parser (bounded time per target)"
    FUZZ_SECONDS=${FUZZ_SECONDS:-50} fuzz/run.sh
}

stage_mingw() {
    step "Windows cross-builds (mingw-w64, i686 and x86_64)"
    for arch in i686 x86_64; do
        # A folder configured with the win32 thread model's compilers cannot build tqrf.exe.
        if grep -qs '^CMAKE_CXX_COMPILER:.*-win32$' "build/ci-mingw-$arch/CMakeCache.txt"; then
            rm -rf "build/ci-mingw-$arch"
        fi
        cmake -S . -B "build/ci-mingw-$arch" -DCMAKE_BUILD_TYPE=Release -DTQRF_WERROR=ON \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" >/dev/null
        cmake --build "build/ci-mingw-$arch" -j"$JOBS"
    done
}

stage_windows-checks() {
    step "Windows DLL exports, imports and version resource; the Windows bundles"
    local dlls=(build/ci-mingw-i686/tq_RWD_DLL.dll build/ci-mingw-x86_64/tq_RWD_DLL.dll)
    tests/windows/selftest.sh
    packaging/windows/check-exports.sh "${dlls[@]}"
    packaging/windows/check-version.sh "$VERSION" "${dlls[@]}"
    if packaging/windows/check-version.sh 0.0.1 "${dlls[0]}" >/dev/null 2>&1; then
        echo "check-version.sh passes a DLL of another version" >&2
        return 1
    fi
    packaging/windows/bundle.sh build/dist build/ci-mingw-i686 build/ci-mingw-x86_64
    # Every version the builds wrote (tool, wheels, assembly, packages, bundles) is the project's.
    tests/package/version-test.sh build/ci-werror build/dist
}

wait_for_wine_install() {
    [ -n "${WINE_INSTALL:-}" ] || return 0
    if ! wait "$WINE_INSTALL"; then
        cat build/install-wine.log
        echo "installing Wine failed" >&2
        return 1
    fi
    WINE_INSTALL=""
}

stage_wine() {
    step "Windows DLLs under Wine against the simulated reader (i686 and x86_64): legacy exports in both reply modes, two readers from two threads"
    wait_for_wine_install
    tests/windows/install-wine.sh >/dev/null
    TQRF_BUILD_MINGW32=build/ci-mingw-i686 TQRF_BUILD_MINGW64=build/ci-mingw-x86_64 \
        TQRF_SIM=build/ci-werror/sim/tqrf-sim TQRF_WINE_LOGS=build/wine-e2e tests/windows/wine-e2e.sh
    step "the serial conformance suite against the Windows backend under Wine"
    TQRF_BUILD_MINGW32=build/ci-mingw-i686 TQRF_BUILD_MINGW64=build/ci-mingw-x86_64 \
        TQRF_WINE_LOGS=build/wine-e2e tests/windows/wine-conformance.sh
    step "tqrf.exe from the unzipped Windows bundles under Wine against the simulated reader"
    TQRF_BUILD_MINGW32=build/ci-mingw-i686 TQRF_BUILD_MINGW64=build/ci-mingw-x86_64 \
        TQRF_SIM=build/ci-werror/sim/tqrf-sim TQRF_WINE_TOOL_LOGS=build/wine-tool tests/windows/wine-tool.sh
}

DEB_PACKAGES=(tqrf-gateway tqrf-tools python3-tqrf libtq-rwd-dll-cil libtq-rwd-dll-dev libtq-rwd-dll1)

remove_packages() {
    $SUDO dpkg -P "${DEB_PACKAGES[@]}" >/dev/null 2>&1 || true
}

stage_install() {
    step "install into a prefix; a user's C and C++ programs built against it"
    rm -rf build/ci-prefix
    cmake --install build/ci-werror --prefix "$ROOT/build/ci-prefix" >/dev/null
    tests/package/consumer-test.sh build/ci-prefix

    step "Debian packages: build, lintian, install, the bindings and a user's programs, remove"
    scripts/install-deps.sh python3 mono-mcs mono-runtime
    # A build configured before mono-mcs was installed learns of it here (the .NET package).
    cmake build/ci-werror >/dev/null
    cmake --build build/ci-werror -j"$JOBS"
    rm -f build/ci-werror/*.deb
    (cd build/ci-werror && cpack -G DEB >/dev/null)
    local runtime=(build/ci-werror/libtq-rwd-dll1_"$VERSION"_*.deb build/ci-werror/tqrf-tools_"$VERSION"_*.deb
        build/ci-werror/python3-tqrf_"$VERSION"_all.deb build/ci-werror/libtq-rwd-dll-cil_"$VERSION"_all.deb)
    local dev=(build/ci-werror/libtq-rwd-dll-dev_"$VERSION"_*.deb)
    local gateway=(build/ci-werror/tqrf-gateway_"$VERSION"_*.deb)
    ls -l "${runtime[@]}" "${dev[@]}" "${gateway[@]}"
    lintian --fail-on error --tag-display-limit 0 "${runtime[@]}" "${dev[@]}" "${gateway[@]}" 2>&1 |
        { grep -v '^running with root' || true; }
    echo "lintian: no errors"
    # Installed only while the test runs: first the runtime package without the development
    # package (the bindings must work with that alone), then the development package too.
    trap 'remove_packages' EXIT
    remove_packages
    $SUDO dpkg -i "${runtime[@]}" >/dev/null
    tests/package/bindings-package-test.sh
    # The gateway's service package: its system user, its configuration's mode, its unit.
    $SUDO dpkg -i "${gateway[@]}" >/dev/null
    tests/package/gateway-package-test.sh --installed "${gateway[@]}" build/ci-werror/gateway/tqrf-gateway
    $SUDO dpkg -i "${dev[@]}" >/dev/null
    tests/package/consumer-test.sh /usr
    remove_packages
    trap - EXIT
}

selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=("${STAGES[@]}")
for name in "${selected[@]}"; do
    if ! declare -F "stage_$name" >/dev/null; then
        echo "test-all: no stage '$name' (stages: ${STAGES[*]})" >&2
        exit 2
    fi
done
for name in "${STAGES[@]}"; do
    for want in "${selected[@]}"; do
        if [ "$want" = "$name" ]; then
            "stage_$name"
        fi
    done
done

step "all tests passed"
