#!/usr/bin/env bash
# Soak: the reference site and palvorserver --headless on loopback, under mixed load from
# palvor_soak for SECONDS (clients joining and leaving, edits, compiles, imports, exports).
# Prints the server's resident memory every 10 s and, at the end, whether every client's
# view equals the stored solution; then stops the server cleanly.
#   soak.sh BIN_DIR SITE_DIR [SECONDS] [CLIENTS]     (default 600 s, 4 clients)
set -euo pipefail
bin=$1
site=$2
seconds=${3:-600}
clients=${4:-4}
tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; tail -n 30 "$tmp/server.log" >&2 || true; exit 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
export NO_PROXY=127.0.0.1,localhost no_proxy=127.0.0.1,localhost
mkdir -p "$PALVOR_SITE_DATA"
site_port=$(free_port)
php -S 127.0.0.1:"$site_port" -t "$site" "$site/router.php" >"$tmp/php.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
  curl -fs "http://127.0.0.1:$site_port/palvor/modules/palvorxp/api.php?api=KeepAlive" >/dev/null && break
  sleep 0.1
done
port=$(free_port)
"$bin/palvorserver" --headless --port "$port" --site "http://127.0.0.1:$site_port/palvor" >"$tmp/server.log" 2>&1 &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 1 100); do grep -q "Acceptor Listen : port=$port" "$tmp/server.log" && break; sleep 0.1; done

echo "soak: $seconds s, $clients clients, server pid $server_pid"
"$bin/palvor_soak" --port "$port" --server-pid "$server_pid" --seconds "$seconds" --clients "$clients" ||
  fail "palvor_soak reported differences or failures"

kill -TERM "$server_pid"
rc=0
wait "$server_pid" || rc=$?
[ "$rc" -eq 0 ] || fail "the server exited with $rc after SIGTERM"
echo "soak: ok"
