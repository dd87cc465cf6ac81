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
. "$(dirname "$0")/../e2e/lib.sh"

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site
start_site "$site"
start_headless "$tmp/server.log"

echo "soak: $seconds s, $clients clients, server pid $server_pid"
"$bin/palvor_soak" --port "$port" --server-pid "$server_pid" --seconds "$seconds" --clients "$clients" ||
  fail "palvor_soak reported differences or failures"

stop_server
echo "soak: ok"
