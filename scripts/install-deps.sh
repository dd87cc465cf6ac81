#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
# Runs as root (or through sudo) on Debian 12; does nothing when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libboost-dev libboost-regex-dev libsqlite3-dev libcurl4-openssl-dev ca-certificates
  libcli11-dev nlohmann-json3-dev
  php-cli curl python3
  abcmidi python3-mido midicsv
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libsodium-dev libglib2.0-dev libgtk-3-dev libwebkit2gtk-4.1-dev
  xvfb xauth xdotool imagemagick fonts-ipafont-gothic openssl
  libasound2-dev libjack-jackd2-dev librtaudio-dev libpulse-dev libsamplerate0-dev
  jackd2 pulseaudio pulseaudio-utils sox
  dbus-daemon pipewire pipewire-bin pipewire-pulse pipewire-jack wireplumber
  help2man libcairo2-dev libpango1.0-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
