#!/usr/bin/env bash
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer into build-test/ and runs
# every test. Where clang with libFuzzer is present, the LoadObjects fuzz targets also
# run for a bounded time first (PALVOR_FUZZ_SECONDS each, default 60; 0 skips them).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPALVOR_SANITIZE=ON \
  -DPALVOR_BENCH=OFF
cmake --build build-test -j "$jobs"

fuzz_seconds=${PALVOR_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ] && command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long){return 0;}' |
     clang++ -x c++ -fsanitize=fuzzer - -o /tmp/palvor-fuzz-probe.$$ >/dev/null 2>&1; then
  rm -f /tmp/palvor-fuzz-probe.$$
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DPALVOR_FUZZ=ON -DPALVOR_TESTS=OFF -DPALVOR_BENCH=OFF
  cmake --build build-fuzz -j "$jobs"
  for family in protocol property; do
    work=$(mktemp -d)
    cp tests/fuzz/corpus/* "$work/"
    echo "== fuzzing LoadObjects ($family) for ${fuzz_seconds}s"
    build-fuzz/bin/fuzz_load_$family -max_total_time="$fuzz_seconds" -max_len=4096 \
      -rss_limit_mb=2048 -malloc_limit_mb=16 -print_final_stats=1 "$work" 2>&1 | tail -n 12
    rm -rf "$work"
  done
else
  echo "== libFuzzer not available (or PALVOR_FUZZ_SECONDS=0): the corpus replay test stands in"
fi

cd build-test
ctest --output-on-failure -j "$jobs" --timeout 600
