#!/usr/bin/env bash
# The service package end to end: ./package.sh builds build/palvor_<version>_<arch>.deb;
# lintian finds no errors (its other findings are printed); the server's settings file and
# the site's visitor table are conffiles, the table (mode 0640) without visitors, and no
# demonstration token is anywhere in the package; the extracted programs report the
# package's version; systemd-analyze accepts both units (server and site) in a root made of
# this machine's units and the package, and their exposure levels are printed; the extracted
# site, started as its unit starts it, admits a visitor added with the extracted
# palvor-visitor to the extracted server (and refuses it once removed); and the extracted
# programs with the extracted site pass the headless and durability end-to-end tests.
# Installs lintian and systemd when missing (as root or through sudo).
#   tests/package/package_test.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "FAIL: $*" >&2; exit 1; }

need=()
command -v lintian >/dev/null 2>&1 || need+=(lintian)
command -v systemd-analyze >/dev/null 2>&1 || need+=(systemd)
if ((${#need[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${need[@]}"
fi

./package.sh
debs=(build/palvor_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package in build/: ${debs[*]}"
deb=${debs[0]}

echo "== lintian $deb"
lintian_out=$(lintian --fail-on error "$deb") || { echo "$lintian_out"; fail "lintian reports errors"; }
echo "$lintian_out"
! grep -q 'no-manual-page' <<<"$lintian_out" || fail "a program has no manual page"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$tmp/control"
for f in /etc/default/palvorserver /etc/palvor/visitors.json; do
  grep -qx "$f" "$tmp/control/conffiles" || fail "$f is not a conffile"
done
for f in usr/bin/palvorserver usr/bin/palvorctl usr/bin/palvorplay usr/bin/palvor-visitor; do
  [ -x "$root/$f" ] || fail "$f missing or not executable"
  page=$root/usr/share/man/man1/${f#usr/bin/}.1.gz
  zcat "$page" 2>/dev/null | grep -q '^\.SH OPTIONS' || fail "no manual page with its options: $page"
done
listing=$(dpkg-deb -c "$deb")
grep -qE '^-rw-r----- root/root .* \./etc/palvor/visitors\.json$' <<<"$listing" ||
  fail "the visitor table is not mode 0640: $(grep visitors <<<"$listing")"
grep -qw php-cli <<<"$(dpkg-deb -f "$deb" Depends)" || fail "the package does not depend on php-cli"

# No demonstration token anywhere in the package, and an empty visitor table.
[ "$(php -r 'echo count(json_decode(file_get_contents($argv[1]), true)["visitors"]);' \
      "$root/etc/palvor/visitors.json")" = 0 ] || fail "the packaged visitor table is not empty"
[ -z "$(find "$root" -name 'demo-visitors.json' -o -path '*/site/*.json')" ] || fail "a visitor table in the site"
mapfile -t demo_tokens < <(php -r 'foreach (json_decode(file_get_contents($argv[1]), true)["visitors"] as $v)
                                      echo $v["token"], "\n";' site/demo-visitors.json)
[ "${#demo_tokens[@]}" -gt 0 ] || fail "no tokens read from site/demo-visitors.json"
for token in "${demo_tokens[@]}"; do
  ! grep -rqaF -- "\"$token\"" "$root" || fail "the demonstration token '$token' is in the package"
  ! grep -rqwF -- "$token" "$root/usr/share/palvor" "$root/etc" || fail "the demonstration token '$token' is in the site or /etc"
done
version=$(dpkg-deb -f "$deb" Version)
"$root/usr/bin/palvorserver" --version | grep -q "^palvorserver $version (built " ||
  fail "the packaged program does not report version $version"

# The unit's data folder: XDG_DATA_HOME=/var/lib puts the server's files in the state
# directory /var/lib/palvor.
(
  set -a
  . "$root/etc/default/palvorserver"
  set +a
  [ -n "${PALVOR_PORT:-}" ] && [ -n "${PALVOR_SITE:-}" ] || fail "the settings file lacks PALVOR_PORT or PALVOR_SITE"
)
XDG_DATA_HOME=$tmp/var/lib "$root/usr/bin/palvorserver" --check |
  grep -q "^no database files in $tmp/var/lib/palvor/server$" || fail "the data folder is not under XDG_DATA_HOME/palvor"

echo "== systemd-analyze verify"
units=(palvorserver.service palvor-site.service)
vroot=$tmp/verify
mkdir -p "$vroot/lib/systemd" "$vroot/etc" "$vroot/usr/bin"
cp -a /lib/systemd/system "$vroot/lib/systemd/"
cp -a "$root/usr" "$vroot/"
cp -a "$root/etc/default" "$root/etc/palvor" "$vroot/etc/"
cp -L "$(command -v php)" "$vroot/usr/bin/php"  # the site's unit runs it
for unit in "${units[@]}"; do
  [ -f "$root/lib/systemd/system/$unit" ] || fail "no $unit in the package"
  cp "$root/lib/systemd/system/$unit" "$vroot/lib/systemd/system/"
done
grep -qx 'Wants=.*palvor-site\.service' "$vroot/lib/systemd/system/palvorserver.service" &&
  grep -qx 'After=.*palvor-site\.service' "$vroot/lib/systemd/system/palvorserver.service" ||
  fail "the server's unit does not pull in the site's"
out=$(systemd-analyze verify --root="$vroot" "${units[@]}" 2>&1) || fail "systemd-analyze: $out"
[ -z "$out" ] || fail "systemd-analyze: $out"
for unit in "${units[@]}"; do
  systemd-analyze security --offline=yes --root="$vroot" "$unit" 2>&1 | grep 'Overall exposure level' ||
    fail "systemd-analyze security did not rate $unit"
done

echo "== the site as its unit runs it, a visitor added with palvor-visitor"
# The unit's environment and command, with the package's paths taken into the extracted
# tree, a data folder of our own and a free port.
site_unit=$root/lib/systemd/system/palvor-site.service
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
site_port=$(free_port)
port=$(free_port)
mkdir -p "$tmp/state" "$tmp/etc"
cp -a "$root/etc/palvor" "$tmp/etc/"
relocate() {
  sed -e "s|/usr/share/palvor|$root/usr/share/palvor|g" -e "s|/etc/palvor|$tmp/etc/palvor|g" \
      -e "s|/var/lib/palvor-site|$tmp/state|g" -e "s|127\.0\.0\.1:8080|127.0.0.1:$site_port|g"
}
mapfile -t site_env < <(sed -n 's/^Environment=//p' "$site_unit" | relocate)
read -ra site_cmd < <(sed -n 's/^ExecStart=//p' "$site_unit" | relocate)
[ "${#site_cmd[@]}" -gt 0 ] && [ "${#site_env[@]}" -gt 0 ] || fail "no ExecStart or Environment in $site_unit"
unset PALVOR_SITE_DATA PALVOR_VISITORS
env "${site_env[@]}" "${site_cmd[@]}" >"$tmp/site.log" 2>&1 &
site_pid=$!
XDG_DATA_HOME=$tmp/server "$root/usr/bin/palvorserver" --headless --port "$port" \
  --site "http://127.0.0.1:$site_port/palvor" >"$tmp/server.log" 2>&1 &
server_pid=$!
# The site runs PHP's server with workers, its children, which outlive it otherwise.
stop_site_and_server() {
  pkill -P "$site_pid" 2>/dev/null || true
  kill "$site_pid" "$server_pid" 2>/dev/null || true
  wait "$site_pid" "$server_pid" 2>/dev/null || true
}
trap 'stop_site_and_server; rm -rf "$tmp"' EXIT
for _ in $(seq 1 300); do
  grep -q "Acceptor Listen : port=$port" "$tmp/server.log" && curl -fs -o /dev/null "http://127.0.0.1:$site_port/palvor/" &&
    break
  sleep 0.1
done
grep -q "Acceptor Listen : port=$port" "$tmp/server.log" || fail "the server did not start: $(cat "$tmp/server.log")"
curl -fs -o /dev/null "http://127.0.0.1:$site_port/palvor/" || fail "the site did not start: $(cat "$tmp/site.log")"
visitors() { env "${site_env[@]}" "$root/usr/bin/palvor-visitor" "$@"; }
ls_as() { "$root/usr/bin/palvorctl" --port "$port" --visitor 8 --token "$1" --solution 3 ls >/dev/null 2>&1; }
rc=0; ls_as none || rc=$?
[ "$rc" -eq 3 ] || fail "a visitor not in the table gave $rc, not 3 (refused)"
token=$(visitors add 8) || fail "palvor-visitor add failed"
[ "$(stat -c %a "$tmp/etc/palvor/visitors.json")" = 640 ] || fail "palvor-visitor left the table not 0640"
ls_as "$token" || fail "a visitor added with palvor-visitor is not admitted: $(cat "$tmp/site.log")"
visitors remove 8 || fail "palvor-visitor remove failed"
rc=0; ls_as "$token" || rc=$?
[ "$rc" -eq 3 ] || fail "a removed visitor gave $rc, not 3 (refused)"
stop_site_and_server

echo "== end to end with the packaged programs"
tests/e2e/headless_e2e.sh "$root/usr/bin" "$root/usr/share/palvor/site"
tests/e2e/durability_e2e.sh "$root/usr/bin" "$root/usr/share/palvor/site"
echo "package test: ok ($deb)"
