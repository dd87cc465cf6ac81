# Shared by the end-to-end scripts and the soak; sourced, not run, after `set -euo pipefail`:
#   . "$(dirname "$0")/lib.sh"
# It gives the script a scratch folder $tmp, removed on exit together with the processes
# whose ids the script adds to the array pids (the last started stops first, each with
# its children: PHP's workers outlive their server otherwise); $stop_signal (TERM) is the
# signal they get. Loopback requests never go through a proxy.
# Functions: fail, free_port, poll_for, wait_for, start_site, start_headless, stop_server.
# start_headless runs "$bin/palvorserver": the script sets bin.

tmp=$(mktemp -d)
pids=()
stop_signal=TERM
server_prefix=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pkill "-$stop_signal" -P "${pids[i]}" 2>/dev/null || true
    kill "-$stop_signal" "${pids[i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
export NO_PROXY=127.0.0.1,localhost no_proxy=127.0.0.1,localhost

# fail TEXT: says why, shows the end of each server log of the run, and exits 1.
fail() {
  echo "FAIL: $*" >&2
  for f in "$tmp"/server*.log; do
    [ -f "$f" ] || continue
    echo "--- $f (its last 60 lines)" >&2
    tail -n 60 "$f" >&2
  done
  exit 1
}

# A port below the kernel's range for outgoing connections, whose own ends would otherwise
# take it (from a test running beside) between this choice and the server's listen.
free_port() {
  python3 -c 'import random, socket
for _ in range(500):
    p, s = random.randint(20000, 32000), socket.socket()
    try:
        s.bind(("127.0.0.1", p))
        print(p)
        break
    except OSError:
        s.close()'
}

# poll_for TENTHS FILE TEXT [COUNT]: succeeds once FILE holds TEXT (a fixed string) on at
# least COUNT lines (1), looking every tenth of a second up to TENTHS times.
poll_for() {
  local tenths=$1 file=$2 text=$3 want=${4:-1} n
  for _ in $(seq 1 "$tenths"); do
    n=$(grep -cF -- "$text" "$file" 2>/dev/null) || true
    [ "${n:-0}" -ge "$want" ] && return 0
    sleep 0.1
  done
  return 1
}

# wait_for FILE TEXT [COUNT]: poll_for for up to 20 s, or show FILE's end and fail.
wait_for() {
  poll_for 200 "$@" && return 0
  case $1 in
    "$tmp"/server*.log) ;;  # fail shows it
    *) echo "--- $1 (its last 60 lines)" >&2; tail -n 60 "$1" >&2 || true ;;
  esac
  fail "timed out waiting for ${3:-1} x '$2' in $1"
}

# start_site SITE_DIR [PATH]: the reference site under PHP's built-in server with its
# router on a free port, its data in $PALVOR_SITE_DATA (created). Sets site_port and
# site_root (http://127.0.0.1:PORT/palvor) once PATH answers (the web API's KeepAlive).
start_site() {
  local probe=${2:-/palvor/modules/palvorxp/api.php?api=KeepAlive}
  mkdir -p "${PALVOR_SITE_DATA:?no PALVOR_SITE_DATA for the site}"
  site_port=$(free_port)
  php -S 127.0.0.1:"$site_port" -t "$1" "$1/router.php" >>"$tmp/php.log" 2>&1 &
  pids+=($!)
  site_root="http://127.0.0.1:$site_port/palvor"
  for _ in $(seq 1 100); do
    curl -fs "http://127.0.0.1:$site_port$probe" >/dev/null && return 0
    sleep 0.1
  done
  fail "the site did not answer $probe on port $site_port"
}

# start_headless LOG [OPTION...]: palvorserver --headless on $port (a free one when unset)
# for $site_root, its output in LOG, run under the command the script may put in the array
# server_prefix (e.g. prlimit). Sets server_pid once the server listens.
start_headless() {
  local log=$1
  shift
  : "${port:=$(free_port)}"
  "${server_prefix[@]}" "$bin/palvorserver" --headless --port "$port" \
    --site "$site_root" "$@" >"$log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_for "$log" "Acceptor Listen : port=$port"
}

# stop_server: SIGTERM to $server_pid, which must exit with 0.
stop_server() {
  kill -TERM "$server_pid"
  local rc=0
  wait "$server_pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "the server exited with $rc after SIGTERM"
}
