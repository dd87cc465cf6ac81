#!/usr/bin/env bash
# End to end: the reference site on loopback, palvorserver --headless as a process with a
# temporary XDG_DATA_HOME, two palvorctl clients editing one solution, a clean SIGTERM
# stop, a restart, and everything still there.
#   headless_e2e.sh BIN_DIR SITE_DIR
set -euo pipefail
bin=$1
site=$2
. "$(dirname "$0")/lib.sh"

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
mkdir -p "$PALVOR_SITE_DATA"
# The visitor of the clients below, in the site's data folder (an installed site has no
# demonstration table to start from).
printf '{"visitors":[{"visiterid":1,"token":"alpha"}]}\n' >"$PALVOR_SITE_DATA/visitors.json"
start_site "$site"
ctl() { "$bin/palvorctl" --port "$port" --visitor 1 --token alpha --solution 5 "$@"; }

start_headless "$tmp/server1.log"

# A refused visitor gets exit code 3 and the server goes on.
set +e
"$bin/palvorctl" --port "$port" --visitor 1 --token wrong --solution 5 ls >/dev/null 2>&1
rc=$?
set -e
[ "$rc" -eq 3 ] || fail "a wrong token gave exit code $rc, not 3"

seq_id=$(ctl create-seq "Étude ♪")
track=$(ctl add-track "$seq_id" Piano)
printf 't120 o4 cdefg\n' | ctl set-mml "$track" -
port_id=$(ctl add-port "$track" Melody "MIDI Out" 2)
printf '0 tempo 132\n0 program 5\n480 note 60 100 240\n960 bend -8192\n' | ctl add-events "$port_id" - >/dev/null

# Client B watches the sequence while client A renames the track and disables the port.
ctl watch "$seq_id" >"$tmp/watch.log" 2>&1 &
watch_pid=$!
pids+=("$watch_pid")
wait_for "$tmp/watch.log" "CCommandOpenSequence"
ctl set-title "$track" "Grand piano"
ctl set-port "$port_id" --disable --channel 9
wait_for "$tmp/watch.log" "CCommandChangedTrackProperty $track Grand piano"
wait_for "$tmp/watch.log" "CCommandChangedPortProperty $port_id MIDI Out ch 9 disabled"
kill -INT "$watch_pid"

# A track whose MML declares a port compiles into that port and its notes.
melody=$(ctl add-track "$seq_id" Melody)
printf 'declare port LEAD = Synth:4;\nport(LEAD) o4 l8 cdefg\n' | ctl set-mml "$melody" -
ctl compile "$melody" | grep -q "1 ports created, 5 events created" || fail "compile did not create the port and notes"
set +e
printf 'o4 c\n' | ctl set-mml "$melody" -
ctl compile "$melody" >"$tmp/compile.out"; rc=$?
set -e
[ "$rc" -eq 1 ] || fail "a failing compile gave exit code $rc, not 1"

# A Standard MIDI File: format 0, division 96, one quarter note on channel 2.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\14\140\221\074\144\140\201\074\0\0\377\057\0' >"$tmp/one.mid"
ctl import "$seq_id" "$tmp/one.mid" --instrument "MIDI Out" | grep -q "imported 1 tracks, 1 ports, 1 events" \
  || fail "import did not create one track, port and event"

# Unknown identifiers are clear errors.
set +e
ctl set-title 00000000000000000000000000000001 x 2>/dev/null; rc=$?
set -e
[ "$rc" -eq 4 ] || fail "an unknown id gave exit code $rc, not 4"

stop_server
grep -q "palvor/server" <<<"$(ls -d "$XDG_DATA_HOME"/palvor/server)" || fail "no server folder"
[ -f "$XDG_DATA_HOME/palvor/server/0005_solution.db" ] || fail "solution database missing"
[ -f "$XDG_DATA_HOME/palvor/server/0005.db" ] || fail "activity log missing"

start_headless "$tmp/server2.log"
out=$(ctl --json open "$seq_id")
for want in '"title":"Étude ♪"' '"title":"Grand piano"' '"mml":"t120 o4 cdefg\n"' \
            '"channel":9' '"enabled":false' '"event":"tempo 132"' '"event":"note 60 100 240"' \
            '"step":960,"event":"bend -8192"' '"instrument":"Synth","channel":4' \
            '"step":480,"event":"note 60 100 480"'; do
  grep -qF "$want" <<<"$out" || fail "after restart, missing $want in: $out"
done
ctl ls | grep -q "^$seq_id " || fail "sequence missing from the greeting after restart"

# The export is a Standard MIDI File that mido reads with the stored notes and tempo; the
# disabled port's program change and bend are absent.
ctl export "$seq_id" -o "$tmp/export.mid" >/dev/null
if /usr/bin/python3 -c 'import mido' 2>/dev/null; then
  summary=$(/usr/bin/python3 - "$tmp/export.mid" <<'PY'
import sys, mido
f = mido.MidiFile(sys.argv[1])
notes = sorted(m.note for t in f.tracks for m in t if m.type == 'note_on' and m.velocity > 0)
tempos = [round(mido.tempo2bpm(m.tempo)) for t in f.tracks for m in t if m.type == 'set_tempo']
bends = [m for t in f.tracks for m in t if m.type == 'pitchwheel']
print(f"division={f.ticks_per_beat} notes={notes} tempos={tempos} bends={len(bends)}")
PY
)
  grep -q "notes=\[60, 72, 74, 76, 77, 79\]" <<<"$summary" || fail "export notes: $summary"
  grep -q "bends=0" <<<"$summary" || fail "the disabled port was exported: $summary"
fi
ctl delete "$seq_id" >/dev/null
[ -z "$(ctl ls)" ] || fail "sequence still listed after delete"
stop_server
grep -q "Received" "$tmp/server2.log" || fail "no requests logged"
echo "headless end-to-end: ok"
