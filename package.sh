#!/usr/bin/env bash
# Builds the Release programs into build/ (as run.sh does) and the Debian service package
# build/palvor_<version>_<arch>.deb: /usr/bin/palvorserver, palvorctl and palvorplay, the
# reference site in /usr/share/palvor/site, the systemd unit palvorserver.service and its
# settings in /etc/default/palvorserver. Installs what is missing first (dpkg-dev for
# cpack's dependency computation), as root or through sudo.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
if ! command -v dpkg-shlibdeps >/dev/null 2>&1; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends dpkg-dev
fi

jobs=${PALVOR_JOBS:-$(nproc 2>/dev/null || echo 2)}  # PALVOR_JOBS: parallel compile jobs
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPALVOR_TESTS=OFF
cmake --build build -j "$jobs"
rm -f build/palvor_*.deb
(cd build && cpack -G DEB)
deb=$(ls build/palvor_*.deb)
echo "Package: $deb"
