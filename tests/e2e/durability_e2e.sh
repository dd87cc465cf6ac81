#!/usr/bin/env bash
# Durability end to end: palvorserver --headless takes a stream of event commands from one
# palvorctl client while another client watches, and is killed with SIGKILL in the middle.
# After a restart every command whose broadcast the watcher saw is stored, each command
# whole, and `palvorserver --check` finds both files sound (right after the kill, with the
# crash's -wal files in place, and after a clean stop, which leaves no -wal content).
# --check also reports a damaged copy (exit 1) and creates nothing where nothing is stored.
#   durability_e2e.sh BIN_DIR SITE_DIR
set -euo pipefail
bin=$1
site=$2
. "$(dirname "$0")/lib.sh"
stop_signal=KILL

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
folder=$XDG_DATA_HOME/palvor/server
mkdir -p "$PALVOR_SITE_DATA"
# The visitor of the clients below, in the site's data folder (an installed site has no
# demonstration table to start from).
printf '{"visitors":[{"visiterid":1,"token":"alpha"}]}\n' >"$PALVOR_SITE_DATA/visitors.json"

# Nothing stored yet: --check says so, succeeds and creates nothing.
out=$("$bin/palvorserver" --check) || fail "--check with nothing stored failed: $out"
grep -q "^no database files in $folder" <<<"$out" || fail "--check said: $out"
[ ! -e "$XDG_DATA_HOME" ] || fail "--check created $XDG_DATA_HOME"

start_site "$site"
ctl() { "$bin/palvorctl" --port "$port" --visitor 1 --token alpha --solution 5 --timeout 5 "$@"; }

start_headless "$tmp/server1.log"
seq_id=$(ctl create-seq "Durable")
track=$(ctl add-track "$seq_id" Piano)
port_id=$(ctl add-port "$track" Melody "MIDI Out" 1)

ctl watch "$seq_id" >"$tmp/watch.log" 2>&1 &
pids+=($!)
wait_for "$tmp/watch.log" "CCommandOpenSequence"

# Command i holds 8 notes at steps i*1000 + 10*j, note 40 + j. The editor stops at its
# first failure (the server is gone).
(
  for i in $(seq 0 999); do
    for j in 0 1 2 3 4 5 6 7; do echo "$((i * 1000 + 10 * j)) note $((40 + j)) 100 5"; done |
      ctl add-events "$port_id" - >/dev/null 2>&1 || exit 0
  done
) &
editor_pid=$!
pids+=("$editor_pid")
broadcast="CCommandCreateEvent $port_id 8 events"
wait_for "$tmp/watch.log" "$broadcast" 25
sleep "0.0$((RANDOM % 10))"  # anywhere in the next command, or between commands
kill -KILL "$server_pid"
wait "$server_pid" 2>/dev/null || true
# The editor ends at its next command.
for _ in $(seq 1 100); do kill -0 "$editor_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$editor_pid" 2>/dev/null && fail "the editor went on after the server was killed"
seen=$(grep -c -- "$broadcast" "$tmp/watch.log" || true)

# Right after the crash, with whatever -wal files it left.
out=$("$bin/palvorserver" --check --solution 5) || fail "--check after the kill: $out"
[ "$(grep -c ': ok$' <<<"$out")" -eq 2 ] || fail "--check after the kill: $out"

start_headless "$tmp/server2.log"
ctl --json open "$seq_id" >"$tmp/open.json" || fail "open after restart failed"
python3 - "$tmp/open.json" "$seen" <<'PY' || fail "stored events do not match what was seen"
import collections, json, sys
seqs = json.load(open(sys.argv[1]))
seen = int(sys.argv[2])
events = [e for s in seqs for t in s["tracks"] for p in t["ports"] for e in p["events"]]
commands = collections.defaultdict(set)
for e in events:
    commands[e["step"] // 1000].add((e["step"] % 1000, e["event"]))
whole = {(10 * j, f"note {40 + j} 100 5") for j in range(8)}
stored = sorted(commands)
ok = True
for i in stored:
    if commands[i] != whole:
        print(f"command {i} stored in part: {sorted(commands[i])}"); ok = False
if stored != list(range(len(stored))):
    print(f"commands stored with gaps: {stored}"); ok = False
if len(stored) < seen:
    print(f"{seen} broadcasts seen but only {len(stored)} commands stored"); ok = False
print(f"{seen} commands seen by the watcher, {len(stored)} stored whole")
sys.exit(0 if ok else 1)
PY

# A clean stop empties the logs into the files.
stop_server
for f in "$folder/0005_solution.db" "$folder/0005.db"; do
  [ ! -s "$f-wal" ] || fail "$f-wal still holds $(stat -c %s "$f-wal") bytes after a clean stop"
done
out=$("$bin/palvorserver" --check) || fail "--check after the clean stop: $out"
[ "$out" = "$folder/0005.db: ok
$folder/0005_solution.db: ok" ] || fail "--check after the clean stop said: $out"

# A copy with a damaged middle page: found, exit 1; the sound activity log still ok.
export XDG_DATA_HOME=$tmp/copy
mkdir -p "$tmp/copy/palvor/server"
cp "$folder/0005.db" "$folder/0005_solution.db" "$tmp/copy/palvor/server/"
damaged=$tmp/copy/palvor/server/0005_solution.db
size=$(stat -c %s "$damaged")
page=$(python3 -c "import sys; f=open(sys.argv[1],'rb'); f.seek(16); print(int.from_bytes(f.read(2),'big'))" "$damaged")
[ "$size" -ge $((3 * page)) ] || fail "the solution file has fewer than 3 pages ($size bytes)"
python3 -c "
import sys
path, page, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, 'r+b') as f:
    f.seek(size // page // 2 * page)
    f.write(b'\xa5' * page)
" "$damaged" "$page" "$size"
set +e
out=$("$bin/palvorserver" --check --solution 5)
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "--check of a damaged file gave exit code $rc: $out"
grep -q "^$damaged: ok$" <<<"$out" && fail "--check took the damaged file for sound: $out"
grep -q "^$damaged: ." <<<"$out" || fail "--check did not list the damaged file: $out"
grep -q "^$tmp/copy/palvor/server/0005.db: ok$" <<<"$out" || fail "--check of the sound log: $out"
echo "durability end-to-end: ok ($seen commands seen before the kill)"
