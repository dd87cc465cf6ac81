#!/bin/sh
# Serves the reference web site on 127.0.0.1 with PHP's built-in server and its router.
# Usage: site/serve.sh [PORT]   (default 8080)
# The site's data (the visitor table visitors.json, the keep-alive log) is kept in
# $PALVOR_SITE_DATA, by default ~/.local/share/palvor/site (under $XDG_DATA_HOME when set);
# a data folder without a table starts with the demonstration table demo-visitors.json.
# Visitors are added and removed with site/palvor-visitor.
set -eu
port="${1:-8080}"
case "$port" in
    ''|*[!0-9]*) echo "usage: $0 [PORT]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")" && pwd)"
PALVOR_SITE_DATA="${PALVOR_SITE_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/palvor/site}"
export PALVOR_SITE_DATA
mkdir -p "$PALVOR_SITE_DATA"
echo "Site root: http://127.0.0.1:${port}/palvor  (data: $PALVOR_SITE_DATA)"
exec php -S "127.0.0.1:${port}" -t "$root" "$root/router.php"
