#!/bin/sh
# Serves the reference web site on 127.0.0.1 with PHP's built-in server.
# Usage: site/serve.sh [PORT]   (default 8080)
# Keep-alive stamps go to $PALVOR_SITE_DATA when set, else the system temp folder.
set -eu
port="${1:-8080}"
case "$port" in
    ''|*[!0-9]*) echo "usage: $0 [PORT]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")" && pwd)"
echo "Site root: http://127.0.0.1:${port}/palvor"
exec php -S "127.0.0.1:${port}" -t "$root" "$root/router.php"
