#!/usr/bin/env bash
# Runs each codec fuzz target for a bounded time, one after the other, starting from seed corpora
# made by zdx_fuzz_seeds and growing a corpus kept in the build folder. Fails on the first crash,
# sanitizer report, leak or slow input; the input that caused it is left in BUILD_DIR/fuzz-work.
#   bash fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
bin="$build/fuzz"
work="$build/fuzz-work"
mkdir -p "$work/extract" "$work/roundtrip" "$work/artifacts"

"$bin/zdx_fuzz_seeds" "$work/extract" "$work/roundtrip"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run() {
  local target=$1 corpus=$2
  echo "== $target (${seconds}s)"
  "$bin/$target" -max_total_time="$seconds" -max_len=16384 -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" "$corpus"
}

run zdx_fuzz_extract "$work/extract"
run zdx_fuzz_roundtrip "$work/roundtrip"
