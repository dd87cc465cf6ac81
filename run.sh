#!/usr/bin/env bash
# Installs what is missing, builds Release into build/ (programs in build/bin/), then runs
# the main job: the reference web site on loopback and the sequencer server headless,
# until The window program on the same site (needs a display):
  build/bin/palvorserver --site $site_root
Ctrl-C stops both.
#   PALVOR_PORT       server port (default 4000)
#   PALVOR_SITE_PORT  reference site port on 127.0.0.1 (default 8080)
#   ./run.sh --build-only   only install and build
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPALVOR_TESTS=OFF
cmake --build build -j "$jobs"

echo
echo "Built:"
for f in build/bin/*; do [ -x "$f" ] && echo "  $f"; done
echo
[ "${1:-}" = "--build-only" ] && exit 0

port=${PALVOR_PORT:-4000}
site_port=${PALVOR_SITE_PORT:-8080}
site_root="http://127.0.0.1:$site_port/palvor"
export PALVOR_SITE_DATA=${PALVOR_SITE_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/palvor/site}
mkdir -p "$PALVOR_SITE_DATA"

pids=()
stop() {
  trap - INT TERM EXIT
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "stopped."
}
trap stop INT TERM EXIT

# Through the router, which keeps the visitor table private and serves the update archive
# of this build with range requests.
export PALVOR_UPDATE_ARCHIVE=${PALVOR_UPDATE_ARCHIVE:-$PWD/build/site/palvorserver-linux.zip}
php -S 127.0.0.1:"$site_port" -t site site/router.php >"$PALVOR_SITE_DATA/php.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do
  curl -fs "$site_root/modules/palvorxp/api.php?api=KeepAlive" >/dev/null 2>&1 && break
  sleep 0.1
done

cat <<TXT
Reference site:  $site_root  (visitors and tokens: site/palvor/modules/palvorxp/visitors.json)
Server:          port $port, files under ${XDG_DATA_HOME:-$HOME/.local/share}/palvor/server
Connect, for example:
  build/bin/palvorctl --port $port --visitor 1 --token alpha --solution 1 create-seq "My song"
  build/bin/palvorctl --port $port --visitor 1 --token alpha --solution 1 ls
The window program on the same site (needs a display):
  build/bin/palvorserver --site $site_root
Ctrl-C stops both.

TXT
build/bin/palvorserver --headless --port "$port" --site "$site_root" &
pids+=($!)
wait "${pids[-1]}"
