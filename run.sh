#!/usr/bin/env bash
# Installs what is missing, builds Release into build/ (programs in build/bin/), then runs
# the main job: the reference web site on loopback and the sequencer server headless, until
# Ctrl-C stops both. It prints how to connect, and how to start the window program on the
# same site (that needs a display).
#   ./run.sh                install, build, then the main job
#   ./run.sh --build-only   install and build only
# Environment:
#   PALVOR_PORT       server port (default 4000)
#   PALVOR_SITE_PORT  reference site port on 127.0.0.1 (default 8080)
#   PALVOR_SITE_DATA  the site's data: visitor table and keep-alive log
#                     (default ~/.local/share/palvor/site, under $XDG_DATA_HOME when set)
#   PALVOR_BUILD_DIR  build folder (default build; relative to this script's folder): a new
#                     one is configured for Release, one already configured is built as it is
#   PALVOR_JOBS       parallel compile jobs (default: the number of processors)
set -euo pipefail
cd "$(dirname "$0")"

build_only=false
case "${1:-}" in
  "") ;;
  --build-only) build_only=true ;;
  *) echo "usage: $0 [--build-only]" >&2; exit 2 ;;
esac

scripts/install-deps.sh

build=${PALVOR_BUILD_DIR:-build}
jobs=${PALVOR_JOBS:-$(nproc 2>/dev/null || echo 2)}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPALVOR_TESTS=OFF
fi
cmake --build "$build" -j "$jobs"

echo
echo "Built:"
for f in "$build"/bin/*; do [ -x "$f" ] && [ -f "$f" ] && echo "  $f"; done
echo
$build_only && exit 0

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

# Through the router, which serves only the public pages and the update archive of this
# build (with range requests). The site's data stays in $PALVOR_SITE_DATA, outside the
# document root; a data folder without a visitor table starts with the demonstration one.
export PALVOR_UPDATE_ARCHIVE=${PALVOR_UPDATE_ARCHIVE:-$(cd "$build" && pwd)/site/palvorserver-linux.zip}
php -S 127.0.0.1:"$site_port" -t site site/router.php >"$PALVOR_SITE_DATA/php.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do
  curl -fs "$site_root/modules/palvorxp/api.php?api=KeepAlive" >/dev/null 2>&1 && break
  sleep 0.1
done

cat <<TXT
Reference site:  $site_root
Visitor table:   $PALVOR_SITE_DATA/visitors.json
                 (site/palvor-visitor add ID | remove ID | list; the demonstration table
                 it starts with admits visitor 1 with the token alpha)
Server:          port $port, files under ${XDG_DATA_HOME:-$HOME/.local/share}/palvor/server
Connect, for example:
  $build/bin/palvorctl --port $port --visitor 1 --token alpha --solution 1 create-seq "My song"
  $build/bin/palvorctl --port $port --visitor 1 --token alpha --solution 1 ls
The window program on the same site (needs a display):
  $build/bin/palvorserver --site $site_root
Ctrl-C stops both.

TXT
"$build"/bin/palvorserver --headless --port "$port" --site "$site_root" &
pids+=($!)
wait "${pids[-1]}"
