#!/usr/bin/env bash
# Admission under load, palvorserver --headless against a small threaded site on loopback
# (admission_load.py): 1,100 visitors joining at once are all admitted; while one address
# floods registrations that the site answers after 20 s, the server holds under 1,000
# descriptors, answers a registered client within 1 s and admits newcomers within 3 s.
#   admission_e2e.sh BIN_DIR
set -euo pipefail
bin=$1
load="$(cd "$(dirname "$0")" && pwd)/admission_load.py"
. "$(dirname "$0")/lib.sh"
wait_file() { for _ in $(seq 1 300); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "no $1"; }

python3 "$load" site "$tmp/site.port" &
pids+=($!)
wait_file "$tmp/site.port"
site_root="http://127.0.0.1:$(cat "$tmp/site.port")/palvor"
XDG_DATA_HOME=$tmp/data start_headless "$tmp/server.log" --max-sessions-per-visitor 4 --max-solutions 64 \
  --retire-after-seconds 300
grep -q "limits: 4 sessions per visitor, 64 solutions, retired after 300 s" "$tmp/server.log" ||
  fail "the limits of the command line are not in force"

read -r greeted burst_ms < <(python3 "$load" burst "$port" 1100)
[ "$greeted" -eq 1100 ] || fail "$greeted of 1100 visitors of the burst were admitted"

python3 "$load" client "$port" "$tmp/flood.ready" >"$tmp/client.log" &
client_pid=$!
pids+=("$client_pid")
wait_file "$tmp/client.log"
python3 "$load" flood "$port" 3000 "$tmp/flood.ready" "$tmp/stop" &
pids+=($!)
wait_file "$tmp/flood.ready"
most_fds=0
while kill -0 "$client_pid" 2>/dev/null; do
  n=$(ls "/proc/$server_pid/fd" | wc -l)
  [ "$n" -le "$most_fds" ] || most_fds=$n
  sleep 0.2
done
wait "$client_pid" || fail "the registered client failed: $(cat "$tmp/client.log")"
[ "$most_fds" -lt 1000 ] || fail "the server held $most_fds descriptors in the flood"
[ "$(grep -c '^echo' "$tmp/client.log")" -eq 10 ] && [ "$(grep -c '^join' "$tmp/client.log")" -eq 3 ] ||
  fail "answers missing: $(cat "$tmp/client.log")"
slowest_echo=$(awk '$1 == "echo" && $2 > m { m = $2 } END { print m + 0 }' "$tmp/client.log")
slowest_join=$(awk '$1 == "join" && $2 > m { m = $2 } END { print m + 0 }' "$tmp/client.log")
[ "$slowest_echo" -le 1000 ] || fail "a request of the registered client took $slowest_echo ms"
[ "$slowest_join" -le 3000 ] || fail "a newcomer waited $slowest_join ms"
grep -q "Acceptor Pending limit : refusing 127.0.0.3:" "$tmp/server.log" || fail "the flood was never refused"
stop_server
echo "admission: 1100 visitors in $burst_ms ms; in the flood at most $most_fds descriptors," \
     "requests within $slowest_echo ms, newcomers within $slowest_join ms: ok"
