#!/usr/bin/env bash
# End to end: palvorplay with the test plug-in as a device (VST_PATH): the device list, a
# two-note file played to its end (on the named device and on the first MIDI device),
# --tempo-scale, refused options, Ctrl-C (SIGINT) and SIGTERM while a long file plays, no
# temporary folder left behind; then a sequence of palvorserver --headless played over the
# protocol on the device its port names. Exits 77 (skipped) when something it needs is
# missing.
#   play_e2e.sh BIN_DIR PLUGIN_DIR SITE_DIR
set -euo pipefail
bin=$1
plugins=$2
site=$3

skip() { echo "SKIP: $*"; exit 77; }
[ -x "$bin/palvorplay" ] || skip "no $bin/palvorplay"
[ -f "$plugins/palvor_test_synth.so" ] || skip "no test plug-in $plugins/palvor_test_synth.so"
for p in palvorserver palvorctl; do [ -x "$bin/$p" ] || skip "no $bin/$p"; done
for c in php curl python3; do command -v "$c" >/dev/null || skip "no $c"; done

. "$(dirname "$0")/lib.sh"
fail() {
  echo "FAIL: $*" >&2
  for f in "$tmp"/*.out "$tmp"/*.err "$tmp"/server*.log; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
  exit 1
}

# Only the test plug-in among the plug-ins of the build (its folder also holds plug-ins
# that crash or hang, which every run would scan again), copied: a plug-in is listed under
# its real path, and plug-ins are ordered by path, so this one usually comes before those
# installed in /usr/lib/vst. palvorplay's temporary folders in $TMPDIR.
mkdir -p "$tmp/vst"
cp "$plugins/palvor_test_synth.so" "$tmp/vst/palvor_test_synth.so"
export VST_PATH=$tmp/vst HOME=$tmp/home TMPDIR=$tmp/t
mkdir -p "$HOME" "$TMPDIR"
synth=PalvorTestSynth
play() { "$bin/palvorplay" "$@"; }
last_line() { tail -n 1 "$1"; }
# (Sound libraries may leave folders of their own there.)
no_temp_left() {
  local left
  left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'palvorplay-*')
  [ -z "$left" ] || fail "temporary folders left: $left"
}

# Format 0, 96 ticks to the quarter note: two quarter notes, one second at 120 a minute.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\24\0\220\074\144\140\200\074\0\0\220\100\144\140\200\100\0\0\377\057\0' \
  >"$tmp/two.mid"
# 3/4 and sixty quarter notes: thirty seconds.
python3 - "$tmp/long.mid" <<'PY'
import struct, sys
events = bytes([0, 0xFF, 0x58, 4, 3, 2, 24, 8])
for i in range(60):
    events += bytes([0, 0x90, 60 + i % 12, 100, 0x60, 0x80, 60 + i % 12, 0])
events += bytes([0, 0xFF, 0x2F, 0])
with open(sys.argv[1], "wb") as f:
    f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(events)) + events)
PY

# ---- the device list
play --list-devices >"$tmp/list.out" 2>"$tmp/list.err" || fail "--list-devices failed"
grep -qx "$synth (VST instrument)" "$tmp/list.out" || fail "the test plug-in is not listed as a VST instrument"
play --list-devices --json >"$tmp/listjson.out" 2>"$tmp/listjson.err" || fail "--list-devices --json failed"
grep -qF "{\"name\":\"$synth\",\"kind\":\"VST instrument\",\"midi\":true}" "$tmp/listjson.out" || fail "JSON list"

# ---- a file to its end: the last status line is at the end
play "$tmp/two.mid" --device "$synth" >"$tmp/two.out" 2>"$tmp/two.err" || fail "playing two notes failed"
[[ "$(last_line "$tmp/two.out")" == *"1:3  00:01.0 / 00:01.0  120.0 BPM  $synth" ]] \
  || fail "the status did not reach the end: $(last_line "$tmp/two.out")"
grep -q "did not" "$tmp/two.err" && fail "a device did not confirm the stop"
no_temp_left
# What a plug-in prints goes to the trace, not among palvorplay's own output.
for trace in "" 1; do
  env -u PALVOR_TRACE ${trace:+PALVOR_TRACE=1} PALVOR_TEST_SYNTH_SAYS=hello "$bin/palvorplay" "$tmp/two.mid" --device "$synth" \
    >"$tmp/says.out" 2>"$tmp/says.err" || fail "playing with a plug-in that prints failed"
  [[ "$(last_line "$tmp/says.out")" == *"00:01.0 / 00:01.0  120.0 BPM  $synth" ]] \
    || fail "with a plug-in that prints: $(last_line "$tmp/says.out")"
  grep -q "^test synth" "$tmp/says.out" "$tmp/says.err" && fail "the plug-in printed among palvorplay's output"
  if [ -n "$trace" ]; then
    for said in "says: hello" "warns: hello"; do
      grep -qx "plug-in or library output: test synth $said" "$tmp/says.err" || fail "no '$said' in the trace"
    done
  fi
done
# Without --device: on the first device that accepts MIDI, said so. The machine's own
# ports and plug-ins are listed too (MIDI outputs first, then plug-ins by path), and may
# come and go (a JACK server of another program), so the first one is read from the list
# taken just before, and the check is made again when the list changed meanwhile.
first_midi() {
  python3 -c 'import json, sys
print(next((d["name"] for d in json.load(open(sys.argv[1])) if d["midi"]), ""))' "$1"
}
for attempt in 1 2 3; do
  play --list-devices --json >"$tmp/before.out" 2>/dev/null || fail "--list-devices --json failed"
  first=$(first_midi "$tmp/before.out")
  [ -n "$first" ] || fail "no device that accepts MIDI in the list"
  # A plug-in of the machine's that is loaded and unloaded again leaves allocations of
  # its own behind, which the leak checker can no longer attribute: not ours to judge.
  leaks=()
  [ "$first" = "$synth" ] || leaks=(env LSAN_OPTIONS=detect_leaks=0)
  "${leaks[@]}" "$bin/palvorplay" "$tmp/two.mid" >"$tmp/first.out" 2>"$tmp/first.err" \
    || fail "playing on the first MIDI device failed"
  play --list-devices --json >"$tmp/after.out" 2>/dev/null || fail "--list-devices --json failed"
  cmp -s "$tmp/before.out" "$tmp/after.out" && break
  [ "$attempt" -lt 3 ] || fail "the device list kept changing"
done
grep -qF "playing on '$first', the first device that accepts MIDI" "$tmp/first.err" \
  || fail "the first device '$first' was not named"
[[ "$(last_line "$tmp/first.out")" == *"00:01.0 / 00:01.0  120.0 BPM  $first" ]] \
  || fail "first device: not at the end"
# Twice as fast.
play "$tmp/two.mid" --device "$synth" --tempo-scale 2 --quiet >"$tmp/quiet.out" 2>"$tmp/quiet.err" \
  || fail "--quiet failed"
[ ! -s "$tmp/quiet.out" ] || fail "--quiet printed: $(cat "$tmp/quiet.out")"
play "$tmp/two.mid" --device "$synth" --tempo-scale 2 >"$tmp/fast.out" 2>"$tmp/fast.err" || fail "--tempo-scale 2 failed"
[[ "$(last_line "$tmp/fast.out")" == *"00:00.5 / 00:00.5  240.0 BPM"* ]] \
  || fail "--tempo-scale 2: $(last_line "$tmp/fast.out")"

# ---- refusals are usage errors (2) that say why
expect_usage() {  # expect_usage TEXT ARGS...
  local want=$1 rc=0
  shift
  play "$@" >"$tmp/usage.out" 2>"$tmp/usage.err" || rc=$?
  [ "$rc" -eq 2 ] || fail "palvorplay $* gave exit code $rc, not 2"
  grep -qF -- "$want" "$tmp/usage.err" || fail "palvorplay $*: no '$want' in: $(cat "$tmp/usage.err")"
}
expect_usage "no device 'Nope'; the devices are: " "$tmp/two.mid" --device Nope
expect_usage "'$synth'" "$tmp/two.mid" --device Nope
expect_usage "invalid tempo scale '0'" "$tmp/two.mid" --tempo-scale 0
expect_usage "invalid loop 960 480" "$tmp/two.mid" --loop 960 480
expect_usage "cannot read '$tmp/none.mid'" "$tmp/none.mid"
printf 'not midi' >"$tmp/bad.mid"
expect_usage "not a readable MIDI file" "$tmp/bad.mid"
no_temp_left

# ---- stopped while playing: SIGINT ends with 130, SIGTERM with 143, each soon
stop_while_playing() {  # stop_while_playing SIGNAL CODE ARGS...
  local sig=$1 code=$2 rc=0
  shift 2
  "$bin/palvorplay" "$@" >"$tmp/stop.out" 2>"$tmp/stop.err" &  # its own pid, not a subshell's
  local pid=$!
  pids+=("$pid")
  # Past the first second (one status line a second when not on a terminal).
  for _ in $(seq 1 200); do grep -q "00:01\.[0-9] / 00:30.0" "$tmp/stop.out" && break; sleep 0.1; done
  grep -q "00:01\.[0-9] / 00:30.0" "$tmp/stop.out" || fail "$* did not get past its first second"
  kill "-$sig" "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "still playing 10 s after SIG$sig"
  wait "$pid" || rc=$?
  [ "$rc" -eq "$code" ] || fail "SIG$sig gave exit code $rc, not $code"
  grep -q "did not" "$tmp/stop.err" && fail "SIG$sig: a device did not confirm the stop"
  [[ "$(last_line "$tmp/stop.out")" == *" / 00:30.0  120.0 BPM  $synth" ]] \
    || fail "SIG$sig: no last status line: $(last_line "$tmp/stop.out")"
  no_temp_left
}
stop_while_playing INT 130 "$tmp/long.mid" --device "$synth"
stop_while_playing TERM 143 "$tmp/long.mid" --device "$synth" --loop 0 5760

# ---- a server's sequence, on the device its port names
export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
start_site "$site"
start_headless "$tmp/server.log"
server=(--port "$port" --visitor 1 --token alpha --solution 5)
seq_id=$("$bin/palvorctl" "${server[@]}" create-seq "To play")
"$bin/palvorctl" "${server[@]}" import "$seq_id" "$tmp/two.mid" --instrument "$synth" >/dev/null
play "${server[@]}" "$seq_id" >"$tmp/seq.out" 2>"$tmp/seq.err" || fail "playing the server's sequence failed"
[[ "$(last_line "$tmp/seq.out")" == *"1:3  00:01.0 / 00:01.0  120.0 BPM  $synth" ]] \
  || fail "the sequence did not play to its end: $(last_line "$tmp/seq.out")"
grep -q "first device" "$tmp/seq.err" && fail "the port's instrument did not choose the device"
rc=0
play "${server[@]}" 00000000000000000000000000000001 >"$tmp/unknown.out" 2>"$tmp/unknown.err" || rc=$?
[ "$rc" -eq 4 ] || fail "an unknown sequence gave exit code $rc, not 4"
no_temp_left
echo "palvorplay end-to-end: ok"
