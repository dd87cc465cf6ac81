#!/usr/bin/env bash
# "run.sh --build-only" only builds: started from another folder with a display set, it runs
# nothing of its own header, starts neither the site (php) nor palvorserver (programs of
# those names on PATH and at build/bin/ in the starting folder record any start, and every
# process run.sh starts itself is looked at; the build may run palvorserver, for its manual
# page), leaves nothing running, creates no site data and exits 0 after listing the built
# programs. It is pointed at BUILD_DIR through PALVOR_BUILD_DIR: a folder
# already configured (else the test is skipped, 77), which run.sh builds as it is configured.
# Under ctest that is ctest's own build folder, up to date while the tests run, so run.sh's
# build finds nothing to do.
#   run_sh_test.sh RUN_SH BUILD_DIR
set -euo pipefail
run_sh=$(realpath "$1")
build=$(realpath "$2")
tmp=$(mktemp -d)
mark="PALVOR_RUN_SH_TEST=$tmp"
marked() {  # the processes started under this test's run.sh
  grep -lsaF "$mark" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}
cleanup() {
  for p in $(marked); do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; echo "--- run.sh output" >&2; cat "$tmp/out" >&2 || true; exit 1; }

[ -f "$build/CMakeCache.txt" ] || { echo "SKIP: $build is not a configured build folder"; exit 77; }

mkdir -p "$tmp/cwd/build/bin" "$tmp/stubs"
for stub in "$tmp/cwd/build/bin/palvorserver" "$tmp/stubs/php" "$tmp/stubs/palvorserver"; do
  printf '#!/bin/sh\necho "$0 $*" >>"%s/started"\n' "$tmp" >"$stub"
  chmod +x "$stub"
done

cd "$tmp/cwd"
(
  export PALVOR_RUN_SH_TEST="$tmp" PATH="$tmp/stubs:$PATH" DISPLAY="${DISPLAY:-:0}" PALVOR_BUILD_DIR="$build" \
         XDG_DATA_HOME="$tmp/xdg" HOME="$tmp/home"
  unset PALVOR_SITE_DATA
  exec timeout 300 "$run_sh" --build-only
) >"$tmp/out" 2>&1 &
runner=$!
script=""  # run.sh's process, under timeout; the names of its children are collected
touch "$tmp/seen"
while kill -0 "$runner" 2>/dev/null; do
  [ -n "$script" ] || script=$(pgrep -P "$runner" | head -n 1 || true)
  if [ -n "$script" ]; then
    for p in $(pgrep -P "$script" || true); do cat "/proc/$p/comm" 2>/dev/null || true; done >>"$tmp/seen"
  fi
  grep -qxE 'php|palvorserver' "$tmp/seen" && { kill -KILL "$runner"; break; }  # the main job
  sleep 0.05
done
rc=0
wait "$runner" || rc=$?

[ ! -e "$tmp/started" ] || fail "started: $(cat "$tmp/started")"
[ -s "$tmp/seen" ] || fail "run.sh was not seen at work"
! grep -qxE 'php|palvorserver' "$tmp/seen" || fail "run.sh started: $(sort -u "$tmp/seen" | tr '\n' ' ')"
[ "$rc" -eq 0 ] || fail "run.sh --build-only exited with $rc"
[ -z "$(marked)" ] || fail "processes left running: $(marked)"
! grep -qiE 'command not found|no such file' "$tmp/out" || fail "run.sh reported errors"
grep -qx "Built:" "$tmp/out" && grep -qxF "  $build/bin/palvorserver" "$tmp/out" ||
  fail "run.sh did not list the built programs"
[ ! -e "$tmp/xdg" ] && [ ! -e "$tmp/home" ] || fail "run.sh created data: $(find "$tmp/xdg" "$tmp/home" 2>/dev/null)"
echo "run.sh --build-only: ok"
