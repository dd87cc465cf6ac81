#!/usr/bin/env bash
# The three programs' command lines: palvorserver's usage errors (exit 2 and one line that
# names the fault), --help and --version of each, and the manual pages made from them.
#   command_line_e2e.sh BIN_DIR MAN_DIR
set -euo pipefail
bin=$1
man=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

expect_usage() {  # expect_usage TEXT ARGS...
  local text=$1 out rc=0
  shift
  out=$("$bin/palvorserver" "$@" 2>&1 >/dev/null) || rc=$?
  [ "$rc" -eq 2 ] || fail "palvorserver $* gave exit code $rc, not 2 ($out)"
  grep -qF -- "palvorserver: $text" <<<"$out" || fail "palvorserver $*: '$out' does not say '$text'"
}
expect_usage "unknown option '--bogus'" --bogus
expect_usage "invalid port '0' (1-65535)" --headless --port 0
expect_usage "invalid port '70000' (1-65535)" --headless --port 70000
expect_usage "--port needs a value" --headless --port
expect_usage "--port is required" --headless
expect_usage "--check runs on its own" --check --headless --port 4000
expect_usage "--solution goes with --check" --solution 3
expect_usage "--port goes with --headless" --port 4000
expect_usage "invalid --max-queued-mib '0'" --headless --port 4000 --max-queued-mib 0
expect_usage "unexpected 'extra'" --headless --port 4000 extra

for p in palvorserver palvorctl palvorplay; do
  "$bin/$p" --version | grep -qE "^$p [0-9]+\.[0-9]+\.[0-9]+ \(built " || fail "$p --version"
  "$bin/$p" --help | grep -q -- "--version" || fail "$p --help does not list --version"
done
for p in palvorserver palvorctl palvorplay palvor-visitor; do
  page=$man/$p.1.gz
  [ -s "$page" ] || fail "no manual page $page"
  roff=$(zcat "$page")
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "SEE ALSO"; do
    grep -q "^\.SH \"\?$section" <<<"$roff" || fail "$page has no $section section"
  done
  grep -qF -- '\-\-help' <<<"$roff" || fail "$page does not describe --help"
done
echo "command lines and manual pages: ok"
