#!/usr/bin/env bash
# End to end with the window: Xvfb, the reference site on loopback (serving the update
# archive built from this very executable, so the update check finds nothing to do),
# palvorserver opening its window on the site's page. The test works the page as a person
# would, with the keyboard (the page's access keys): start on a port, a palvorctl client
# edits, the page's stop disconnects it. A screenshot of the window is kept.
#   window_e2e.sh BIN_DIR SITE_DIR ARCHIVE ARTEFACT_DIR
# Exit 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
bin=$1
site=$2
archive=$3
artefacts=$4
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
# Without a display the program says so in one line and points to --headless.
set +e
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$bin/palvorserver" 2>&1)
rc=$?
set -e
[ "$rc" -ne 0 ] && grep -q -- "--headless" <<<"$out" && [ "$(wc -l <<<"$out")" -eq 1 ] ||
  { echo "FAIL: without a display: exit $rc, output: $out" >&2; exit 1; }

. "$(dirname "$0")/lib.sh"  # its processes stop in reverse order: the program first, the display last

# A display of our own.
for n in $(seq $((100 + $$ % 100)) 400); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"

export XDG_DATA_HOME=$tmp/data PALVOR_SITE_DATA=$tmp/site PALVOR_UPDATE_ARCHIVE=$archive
[ -f "$archive" ] || fail "no update archive at $archive"
start_site "$site"

"$bin/palvorserver" --site "$site_root" >"$tmp/server.log" 2>&1 &
server_pid=$!
pids+=("$server_pid")
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^PalvorServer$' | head -n 1) || fail "no window"

port=$(free_port)
press() { xdotool key --clearmodifiers "$@"; }
# Focus the page (a click on its empty right side), then Alt+P selects the port field.
start_server() {
  for attempt in $(seq 1 20); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove $((X + WIDTH - 40)) $((Y + HEIGHT / 3)) click 1
    press alt+p ctrl+a
    xdotool type --delay 20 "$port"
    press alt+r
    poll_for 20 "$tmp/server.log" "Acceptor Listen : port=$port" && return 0
  done
  return 1
}
start_server || fail "the page's start did not make the program listen on $port"

ctl() { "$bin/palvorctl" --port "$port" --visitor 1 --token alpha --solution 3 "$@"; }
seq_id=$(ctl create-seq "Window test") || fail "palvorctl could not create a sequence"
ctl ls | grep -q "^$seq_id " || fail "the new sequence is not listed"
ctl watch >"$tmp/watch.log" 2>&1 &
watch_pid=$!
poll_for 100 "$tmp/watch.log" "CCommand" || true

mkdir -p "$artefacts"
shot="$artefacts/window.png"
import -window "$window" "$shot" || fail "no screenshot"
# Not blank: many colours and real contrast (page text, log text, frame).
colours=$(convert "$shot" -format '%k' info:)
spread=$(convert "$shot" -colorspace Gray -format '%[fx:standard_deviation]' info:)
echo "screenshot $shot: $colours colours, grey deviation $spread"
[ "$colours" -gt 20 ] || fail "the screenshot looks blank ($colours colours)"
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the screenshot has no contrast ($spread)"

# The page's stop closes the listening socket and releases the servers: the watching
# client is disconnected and a new client is refused.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH - 40)) $((Y + HEIGHT / 3)) click 1
press alt+s
for _ in $(seq 1 100); do kill -0 "$watch_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$watch_pid" 2>/dev/null && fail "the watching client is still connected after stop"
set +e
ctl ls >/dev/null 2>&1
rc=$?
set -e
[ "$rc" -eq 3 ] || fail "after stop a client got exit code $rc, not 3 (refused)"

stop_server
echo "window end-to-end: ok"
