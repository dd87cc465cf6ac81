#!/usr/bin/env bash
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer into build-test/ and runs
# every test; the threaded suites also run under ThreadSanitizer (build-tsan/). Where clang with libFuzzer is present, the fuzz targets (LoadObjects, SMF
# reader, MML parser, update archive reader, admission reply) also run for a bounded time first (PALVOR_FUZZ_SECONDS each, default 45; 0 skips them).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPALVOR_SANITIZE=ON \
  -DPALVOR_BENCH=OFF
cmake --build build-test -j "$jobs"

fuzz_seconds=${PALVOR_FUZZ_SECONDS:-45}
if [ "$fuzz_seconds" -gt 0 ] && command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long){return 0;}' |
     clang++ -x c++ -fsanitize=fuzzer - -o /tmp/palvor-fuzz-probe.$$ >/dev/null 2>&1; then
  rm -f /tmp/palvor-fuzz-probe.$$
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DPALVOR_FUZZ=ON -DPALVOR_TESTS=OFF -DPALVOR_BENCH=OFF
  targets=(fuzz_load_protocol fuzz_load_property)
  [ -f tests/fuzz/FuzzSmf.cpp ] && targets+=(fuzz_smf)
  [ -f tests/fuzz/FuzzMml.cpp ] && targets+=(fuzz_mml)
  targets+=(fuzz_zip fuzz_reply)
  cmake --build build-fuzz -j "$jobs" --target "${targets[@]}"
  for target in "${targets[@]}"; do
    case $target in
      fuzz_smf) corpus=tests/fuzz/corpus-smf ;;
      fuzz_mml) corpus=tests/fuzz/corpus-mml ;;
      fuzz_zip) corpus=tests/fuzz/corpus-zip ;;
      fuzz_reply) corpus=tests/fuzz/corpus-reply ;;
      *) corpus=tests/fuzz/corpus ;;
    esac
    work=$(mktemp -d)
    cp "$corpus"/* "$work/" 2>/dev/null || true
    echo "== fuzzing $target for ${fuzz_seconds}s"
    build-fuzz/bin/$target -max_total_time="$fuzz_seconds" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 "$work" 2>&1 | tail -n 12
    rm -rf "$work"
  done
else
  echo "== libFuzzer not available (or PALVOR_FUZZ_SECONDS=0): the corpus replay test stands in"
fi

# ThreadSanitizer over the threaded suites (runtime, server, midi, audio); PALVOR_TSAN=0
# skips it.
if [ "${PALVOR_TSAN:-1}" != 0 ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALVOR_TSAN=ON \
    -DPALVOR_BENCH=OFF
  tsan_suites=(runtime_tests server_tests midi_tests audio_tests)
  cmake --build build-tsan -j "$jobs" --target "${tsan_suites[@]}"
  for suite in "${tsan_suites[@]}"; do
    echo "== ThreadSanitizer: $suite"
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
      build-tsan/bin/"$suite" --gtest_brief=1
  done
fi

# The service package: built, checked by lintian and systemd-analyze, and its extracted
# programs run the end-to-end tests (PALVOR_PACKAGE_TEST=0 skips it).
if [ "${PALVOR_PACKAGE_TEST:-1}" != 0 ]; then
  echo "== service package"
  tests/package/package_test.sh
fi

cd build-test
ctest --output-on-failure -j "$jobs" --timeout 600
