#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test:
#   1. the threading, mailbox and worker tests under ThreadSanitizer,
#   2. a bounded smoke run of each fuzz target (clang, libFuzzer + ASan + UBSan),
#   3. the whole suite in Debug under AddressSanitizer + UndefinedBehaviorSanitizer, warnings as errors.
# ZDX_FUZZ_SECONDS sets the length of each fuzz run (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

jobs=$(nproc)
fuzz_seconds=${ZDX_FUZZ_SECONDS:-60}

echo "== shellcheck"
mapfile -t shell_scripts < <(find scripts bench fuzz tests -name '*.sh' 2>/dev/null)
shellcheck .ci/run "${shell_scripts[@]}"

echo "== ThreadSanitizer: threads, mailbox and worker"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZDX_SANITIZE=thread -DZDX_BUILD_APP=OFF >/dev/null
cmake --build build/tsan --target zdx_threads_tests -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan -L threads --output-on-failure -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz smoke runs (${fuzz_seconds}s each)"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DZDX_BUILD_APP=OFF -DZDX_BUILD_TESTS=OFF -DZDX_BUILD_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j "$jobs" --target zdx_fuzz_extract zdx_fuzz_roundtrip zdx_fuzz_seeds
  bash fuzz/run.sh build/fuzz "$fuzz_seconds"
fi

echo "== Debug, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZDX_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build/asan --output-on-failure -j "$jobs"
