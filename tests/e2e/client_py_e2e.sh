#!/usr/bin/env bash
# End to end for examples/client.py: the reference site on loopback, palvorserver --headless
# with a temporary XDG_DATA_HOME, the Python client creating a sequence, a track, a port and
# notes (checked with palvorctl), and a second client.py in --watch mode seeing the
# broadcasts of another one's edits.
#   client_py_e2e.sh BIN_DIR SITE_DIR
set -euo pipefail
bin=$1
site=$2
client="$(cd "$(dirname "$0")/../.." && pwd)/examples/client.py"
. "$(dirname "$0")/lib.sh"

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
mkdir -p "$PALVOR_SITE_DATA"
printf '{"visitors":[{"visiterid":1,"token":"alpha"}]}\n' >"$PALVOR_SITE_DATA/visitors.json"
start_site "$site"
start_headless "$tmp/server.log"

py() { python3 "$client" --port "$port" --visitor 1 --token alpha --solution 5 "$@"; }
ctl() { "$bin/palvorctl" --port "$port" --visitor 1 --token alpha --solution 5 "$@"; }

# A refused visitor: exit code 3 and a message that says so.
set +e
python3 "$client" --port "$port" --visitor 1 --token wrong --solution 5 >/dev/null 2>"$tmp/refused.err"
rc=$?
set -e
[ "$rc" -eq 3 ] || fail "a wrong token gave exit code $rc, not 3"
grep -q "registration refused" "$tmp/refused.err" || fail "refusal not explained: $(cat "$tmp/refused.err")"

# The client creates a sequence, a track, a port and a tempo and three notes.
py --title "Python demo" >"$tmp/run1.out" || fail "client.py exited with $?"
id_of() { awk -v k="$1" '$1 == k { print $2; exit }' "$2"; }
seq_id=$(id_of sequence "$tmp/run1.out")
track=$(id_of track "$tmp/run1.out")
port_id=$(id_of port "$tmp/run1.out")
[ -n "$seq_id" ] && [ -n "$track" ] && [ -n "$port_id" ] || fail "no identifiers in: $(cat "$tmp/run1.out")"
ctl ls | grep -qx "$seq_id Python demo" || fail "palvorctl ls does not list the sequence: $(ctl ls)"
ctl --json open "$seq_id" >"$tmp/open.json"
python3 - "$tmp/open.json" "$tmp/run1.out" <<'PY' || fail "stored content differs: $(cat "$tmp/open.json")"
import json, sys
[seq] = json.load(open(sys.argv[1]))
ids = {}
for line in open(sys.argv[2]):
    kind, value = line.split()
    ids.setdefault(kind, []).append(value)
[track] = seq["tracks"]
[port] = track["ports"]
assert (seq["id"], seq["title"]) == (ids["sequence"][0], "Python demo"), seq
assert (track["id"], track["title"]) == (ids["track"][0], "Piano"), track
assert (port["id"], port["title"], port["instrument"], port["channel"], port["enabled"]) == \
    (ids["port"][0], "Melody", "MIDI Out", 0, True), port
events = sorted((e["step"], e["event"], e["id"]) for e in port["events"])
assert [(s, t) for s, t, _ in events] == [(0, "note 60 100 480"), (0, "tempo 120"),
                                          (480, "note 64 100 480"), (960, "note 67 100 480")], events
assert sorted(i for _, _, i in events) == sorted(ids["event"]), events
PY

# A watcher opens the sequence; another run adds a track, a port and notes to it, and the
# watcher receives them as broadcasts (they did not exist when it opened the sequence).
py --watch 12 >"$tmp/watch.log" 2>"$tmp/watch.err" &
watch_pid=$!
pids+=("$watch_pid")
wait_for "$tmp/watch.log" "CCommandOpenSequence idSet=[$seq_id]"
py --sequence "$seq_id" --track-title Bass --channel 1 >"$tmp/run2.out" || fail "client.py --sequence exited with $?"
track2=$(id_of track "$tmp/run2.out")
port2=$(id_of port "$tmp/run2.out")
wait_for "$tmp/watch.log" "CCommandCreateTrack idTrack=$track2 idSequence=$seq_id property={sTitle='Bass'}"
wait_for "$tmp/watch.log" "CCommandCreatePort idPort=$port2 property={idTrack=$track2 sTitle='Melody' sInstrument='MIDI Out' nChannel=1 bEnable=True}"
wait_for "$tmp/watch.log" "CCommandCreateEvent idPort=$port2 events=["
set +e
wait "$watch_pid"
rc=$?
set -e
[ "$rc" -eq 0 ] || fail "client.py --watch exited with $rc: $(cat "$tmp/watch.err")"
ctl --json open "$seq_id" | grep -qF "\"id\":\"$track2\",\"title\":\"Bass\"" || fail "second track not stored"
echo "python client end-to-end: ok"
