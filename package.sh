#!/usr/bin/env bash
# Builds the Release programs into build/ (as run.sh does) and the Debian service package
# build/palvor_<version>_<arch>.deb: /usr/bin/palvorserver, palvorctl and palvorplay, the
# reference site in /usr/share/palvor/site, the systemd unit palvorserver.service and its
# settings in /etc/default/palvorserver. Installs what is missing first (dpkg-dev for
# cpack's dependency computation), as root or through sudo.
#
# PALVOR_RELEASE_KEY=/path/secret.key: the key that signs the update archive
# (build/site/palvorserver-linux.zip); the packaged palvorserver trusts only its public half.
# Make one once with "build/bin/palvor-update-sign keygen /path/secret.key" and keep it out
# of the repository. Without it the build folder's development key is used, and the
# package says so.
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
warn_development_key() {
  cat >&2 <<'EOF'
##########################################################################################
# WARNING: no PALVOR_RELEASE_KEY. This package trusts the DEVELOPMENT update key of
# build/keys/update-dev.key: updates signed on this machine only. Not for release.
##########################################################################################
EOF
}
if [ -n "${PALVOR_RELEASE_KEY:-}" ]; then
  [ -r "$PALVOR_RELEASE_KEY" ] ||
    { echo "package.sh: cannot read the release key $PALVOR_RELEASE_KEY" >&2; exit 1; }
  update_key=$(realpath "$PALVOR_RELEASE_KEY")
  echo "Update archives are signed with the release key $update_key"
else
  update_key=
  warn_development_key
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPALVOR_TESTS=OFF \
  -DPALVOR_UPDATE_KEY="$update_key"
cmake --build build -j "$jobs"
rm -f build/palvor_*.deb
(cd build && cpack -G DEB)
deb=$(ls build/palvor_*.deb)
echo "Package: $deb"
[ -n "$update_key" ] || warn_development_key
