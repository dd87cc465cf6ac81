#!/usr/bin/env bash
# The reference site under PHP's built-in server with its router, as run.sh and the
# palvor-site unit run it: no spelling of a data file's path serves it (data files planted
# in a copy of the document root, as an older layout left them there); the API reads its
# visitor table from the data folder; the keep-alive log stays bounded under concurrent
# calls; palvor-visitor adds, lists and removes visitors, and the API follows at once.
#   site_test.sh SITE_DIR
set -euo pipefail
src=$1
. "$(dirname "$0")/lib.sh"
# start_site_in DATA_FOLDER: one more site on the copy, its data in DATA_FOLDER; sets $url
# once the front page is served (the API may refuse such a folder).
start_site_in() {
  PALVOR_SITE_DATA=$1 start_site "$site" /palvor/
  url=http://127.0.0.1:$site_port
}
get() { curl -s --path-as-is -o "$tmp/body" -w '%{http_code}' "$url$1"; }
api() { curl -fs "$url/palvor/modules/palvorxp/api.php?$1"; }
admitted() {  # admitted VISITOR TOKEN [SOLUTION]
  [ "$(api "api=IsAcceptableUser&solutionid=${3:-1}&visiterid=$1&token=$2")" = '{"acceptable":true}' ]
}

site=$tmp/site
cp -r "$src" "$site"
data=$tmp/data
mkdir -p "$data"
secret=planted-$RANDOM$RANDOM
for f in palvor/modules/palvorxp/visitors.json palvor/modules/palvorxp/Visitors.Json \
         palvor/modules/palvorxp/keepalive.log palvor/keepalive.log.1; do
  printf '{"visitors":[{"visiterid":1,"token":"%s"}]}\n' "$secret" >"$site/$f"
done
unset PALVOR_VISITORS
export PALVOR_KEEPALIVE_LIMIT=2000 PHP_CLI_SERVER_WORKERS=4
start_site_in "$data"

# What the site is for is served.
[ "$(get /palvor/)" = 200 ] && grep -q 'RefreshHtml' "$tmp/body" || fail "the front page is not served"
[ "$(api api=KeepAlive)" = '{"ok":true}' ] || fail "KeepAlive does not answer"

# No spelling of a data file's path, nor anything outside /palvor/, is served.
m=palvor/modules/palvorxp
for path in /$m/visitors.json /$m/visitors%2ejson /$m/visitors%2Ejson /$m/visitors.js%6fn \
            /$m/visitors.json/ /$m/visitors.json/x /$m/visitors.json%2f /$m/visitors.json. \
            /$m/visitors.json%20 /$m/visitors.json%00 /palvor/modules%2fpalvorxp%2fvisitors.json \
            /palvor/x/../modules/palvorxp/visitors.json /palvor/x/%2e%2e/modules/palvorxp/visitors.json \
            /$m/./visitors.json //palvor//modules/palvorxp//visitors.json /$m/Visitors.Json \
            /$m/VISITORS.JSON /$m/visitors.JSO%4e /$m/keepalive.log /$m/keepalive.lo%67 \
            /$m/keepalive.log/ /palvor/keepalive.log.1 /palvor/keepalive.log.%31 \
            /$m/api.php/visitors.json /$m/api.php/ /palvor/index.html/ /router.php /palvor-visitor /serve.sh \
            /demo-visitors.json /palvor/../demo-visitors.json /%2e%2e/demo-visitors.json \
            /palvor/%2e%2e/router.php; do
  status=$(get "$path")
  [ "$status" != 200 ] && [ "$status" != 206 ] || fail "$path was served ($status)"
  ! grep -qe "$secret" -e alpha -e '<?php' "$tmp/body" || fail "$path gave away a file: $(head -c 200 "$tmp/body")"
done

# The visitor table is the data folder's: the demonstration table is copied there (0640),
# and the planted one is not read.
admitted 1 alpha || fail "the demonstration visitor is not admitted"
! admitted 1 "$secret" || fail "the API read a table from the document root"
[ "$(stat -c %a "$data/visitors.json")" = 640 ] || fail "the copied table is not mode 0640"

# The keep-alive log is rotated at the limit, also under concurrent calls.
seq 1 160 | xargs -P 8 -I{} curl -fs -o /dev/null "$url/palvor/modules/palvorxp/api.php?api=KeepAlive" ||
  fail "a keep-alive call failed"
for f in keepalive.log keepalive.log.1; do
  size=$(stat -c %s "$data/$f") || fail "no $f"
  [ "$size" -le 2000 ] || fail "$f holds $size bytes, over the limit"
  ! grep -qvE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z 127\.0\.0\.1$' "$data/$f" || fail "$f holds a broken line"
done
[ "$(find "$data" -name '*keepalive*' | wc -l)" = 2 ] || fail "keep-alive files: $(ls "$data")"

# palvor-visitor, on the table the site reads.
pv() { PALVOR_SITE_DATA=$data "$site/palvor-visitor" "$@"; }
token=$(pv add 41 2>/dev/null) || fail "add failed"
[[ "$token" =~ ^[0-9a-f]{32}$ ]] || fail "add printed '$token', not a token"
limited=$(pv add 42 --solutions 7,4294967295 2>/dev/null) || fail "add --solutions failed"
admitted 41 "$token" 5 || fail "an added visitor is refused"
admitted 42 "$limited" 7 && admitted 42 "$limited" -1 || fail "a limited visitor is refused on its solutions"
! admitted 42 "$limited" 8 || fail "a limited visitor is admitted to another solution"
[ "$(pv list)" = $'1\n2 solutions 1,2\n-7 solutions 4294967295\n41\n42 solutions 7,4294967295' ] ||
  fail "list: $(pv list)"
[ "$(stat -c %a "$data/visitors.json")" = 640 ] || fail "the table is not mode 0640 after add"
pv add 41 2>/dev/null && fail "adding an existing visitor succeeded"
pv remove 41 2>/dev/null || fail "remove failed"
! admitted 41 "$token" 5 || fail "a removed visitor is still admitted"
pv remove 41 2>/dev/null && fail "removing an unknown visitor succeeded"
grep -qx 41 <<<"$(pv list)" && fail "list shows a removed visitor"
rc=0; pv frob 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "an unknown command gave $rc, not the usage status 2"
adders=()
for i in $(seq 100 109); do pv add "$i" >/dev/null 2>&1 & adders+=($!); done
wait "${adders[@]}" || fail "a concurrent add failed"
listed=$(pv list)
for i in $(seq 100 109); do grep -qx -- "$i" <<<"$listed" || fail "concurrent add of $i was lost: $listed"; done
[ "$(find "$data" -name '*visitors*' | wc -l)" = 1 ] || fail "files left beside the table: $(ls -A "$data")"

# A data folder inside the document root is refused; nothing is written there.
start_site_in "$site/palvor/data"
mkdir -p "$site/palvor/data"
[ "$(get '/palvor/modules/palvorxp/api.php?api=KeepAlive')" = 500 ] || fail "a data folder in the document root was used"
[ -z "$(ls -A "$site/palvor/data")" ] || fail "data written into the document root"
echo "site test: ok"
