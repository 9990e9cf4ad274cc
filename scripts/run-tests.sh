#!/usr/bin/env bash
# Builds the library and runs the whole test suite:
#   1. the plain build and every test (unit, end-to-end, the short soak), then
#      its Debian packages: checked with lintian, installed on this machine,
#      used and purged (scripts/test-packages.sh);
#   2. the same suite built with AddressSanitizer (leak checking on) and
#      UndefinedBehaviorSanitizer, every report failing its test;
#   3. with ThreadSanitizer: the receive test in which another thread ends the
#      wait, the thread-safe mode's tests through the bridge emulator, and the
#      gateway's end-to-end test;
#   4. a short run of each fuzz target (clang, libFuzzer).
# SPWETH_QUICK=1 runs the plain build and its tests only. Each build has its own folder:
# build, build-asan, build-tsan, build-fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=2

# Under ThreadSanitizer: the unit test in which another thread clears
# wait_receive_active, the thread-safe mode's tests through the emulator, and
# the gateway end to end (its receiving, sending and network threads).
tsan_filter='WaitFlag.AnotherThread|ThreadSafeMode\.|gateway_e2e'

stage_times=()
stage() {  # stage NAME COMMAND...: runs the command and records its time
    local name="$1" start=$SECONDS
    shift
    echo "=== $name"
    "$@"
    stage_times+=("$name: $((SECONDS - start)) s")
}

plain() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$jobs"
    ctest --test-dir build --output-on-failure -j "$jobs"
}

address_and_undefined() {
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSPWETH_SANITIZE=address,undefined -DSPWETH_BUILD_BENCH=OFF >/dev/null
    cmake --build build-asan -j "$jobs"
    ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
    LSAN_OPTIONS=report_objects=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs"
}

thread() {
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPWETH_SANITIZE=thread \
        -DSPWETH_BUILD_TOOLS=ON -DSPWETH_BUILD_BENCH=OFF >/dev/null
    cmake --build build-tsan -j "$jobs" --target spweth_unit_tests spweth-bridge-emu spweth_thread_tests \
        spweth-gateway
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build-tsan --output-on-failure -R "$tsan_filter" --no-tests=error
}

fuzz_short() {
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSPWETH_BUILD_FUZZ=ON -DSPWETH_BUILD_TESTS=OFF -DSPWETH_BUILD_TOOLS=OFF \
        -DSPWETH_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" --target all
    ctest --test-dir build-fuzz/fuzz --output-on-failure
}

stage "plain build and tests" plain
if [[ "${SPWETH_QUICK:-0}" != 1 ]]; then
    # The packages stage installs and purges on this machine: one run at a time.
    stage "Debian packages" flock /run/lock/spweth-test-packages.lock \
        bash scripts/test-packages.sh build
    stage "AddressSanitizer + UndefinedBehaviorSanitizer" address_and_undefined
    stage "ThreadSanitizer" thread
    stage "fuzz targets, short runs" fuzz_short
fi
echo "=== times"
printf '%s\n' "${stage_times[@]}"
# A failing stage has ended the script already.
echo "stages: ${#stage_times[@]} passed, 0 failed"
