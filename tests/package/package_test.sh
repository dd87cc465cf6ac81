#!/usr/bin/env bash
# The service package end to end: ./package.sh builds build/palvor_<version>_<arch>.deb;
# lintian finds no errors (its other findings are printed); the package's settings file
# is a conffile and the extracted programs report the package's version; systemd-analyze
# accepts the unit in a root made of this machine's units and the package; and the
# extracted programs with the extracted site pass the headless and durability end-to-end
# tests. Installs lintian and systemd when missing (as root or through sudo).
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
lintian --fail-on error "$deb" || fail "lintian reports errors"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$tmp/control"
grep -qx /etc/default/palvorserver "$tmp/control/conffiles" || fail "the settings file is not a conffile"
for f in usr/bin/palvorserver usr/bin/palvorctl usr/bin/palvorplay usr/share/palvor/site/serve.sh; do
  [ -x "$root/$f" ] || fail "$f missing or not executable"
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
unit=$root/lib/systemd/system/palvorserver.service
[ -f "$unit" ] || fail "no unit in the package"
vroot=$tmp/verify
mkdir -p "$vroot/lib/systemd" "$vroot/etc"
cp -a /lib/systemd/system "$vroot/lib/systemd/"
cp -a "$root/usr" "$vroot/"
cp -a "$root/etc/default" "$vroot/etc/"
cp "$unit" "$vroot/lib/systemd/system/"
out=$(systemd-analyze verify --root="$vroot" palvorserver.service 2>&1) || fail "systemd-analyze: $out"
[ -z "$out" ] || fail "systemd-analyze: $out"

echo "== end to end with the packaged programs"
tests/e2e/headless_e2e.sh "$root/usr/bin" "$root/usr/share/palvor/site"
tests/e2e/durability_e2e.sh "$root/usr/bin" "$root/usr/share/palvor/site"
echo "package test: ok ($deb)"
