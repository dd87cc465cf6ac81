<?php
// Router for PHP's built-in server (php -S HOST:PORT -t SITE SITE/router.php).
//
// The built-in server decodes the request path and resolves "." and ".." before it looks for
// a file, and serves a file also when more path follows it ("file/", "file/x"). So the
// decision is made here on the same decoded, normalised path: only the public tree /palvor/
// is served; nothing hidden, no data file (*.json, *.log, whatever the case or spelling) and
// no path that runs on past a file. The site's data (the visitor table, the keep-alive log)
// is kept outside the document root in any case, in $PALVOR_SITE_DATA (see api.php).
//
// The update archive is served with range support (the built-in server ignores Range for
// static files); everything else allowed is served as usual from the document root.

const PUBLIC_TREE = 'palvor';
const UPDATE_ARCHIVE_PATH = '/palvor/palvorserver-linux.zip';

$path = public_path($_SERVER['REQUEST_URI'] ?? '/', $_SERVER['DOCUMENT_ROOT'] ?? __DIR__);
if ($path === null) {
    not_found();
    return true;
}
if ($path === UPDATE_ARCHIVE_PATH) {
    serve_update_archive();
    return true;
}
return false;

// The decoded, normalised path of a request that may be served, or null.
function public_path(string $uri, string $documentRoot): ?string
{
    $raw = explode('?', $uri, 2)[0];
    $decoded = rawurldecode($raw);
    if ($decoded === '' || $decoded[0] !== '/' || preg_match('/[\x00-\x1f\x7f\\\\]/', $decoded)) {
        return null;
    }
    $segments = [];
    foreach (explode('/', $decoded) as $segment) {
        if ($segment === '' || $segment === '.') {
            continue;
        }
        // "..", hidden files and anything named like data are refused outright.
        if ($segment[0] === '.' || is_data_name($segment)) {
            return null;
        }
        $segments[] = $segment;
    }
    if (($segments[0] ?? null) !== PUBLIC_TREE) {
        return null;
    }
    // The file the server would serve: the first existing file along the path. Nothing may
    // follow it, not even a slash.
    $file = rtrim($documentRoot, '/');
    foreach ($segments as $i => $segment) {
        $file .= '/' . $segment;
        if (is_file($file)) {
            $last = $i === count($segments) - 1;
            if (!$last || substr($decoded, -1) === '/') {
                return null;
            }
            break;
        }
    }
    return '/' . implode('/', $segments);
}

// Names of the site's data files in any case, also with trailing dots or blanks and with
// a rotation suffix: visitors.json, keepalive.log, keepalive.log.1, VISITORS.JSON. ...
function is_data_name(string $segment): bool
{
    return preg_match('/\.(json|log)(\.\d+)?$/i', rtrim($segment, ". \t")) === 1;
}

function not_found(): void
{
    http_response_code(404);
    header('Content-Type: text/plain');
    echo "Not found\n";
}

// The archive named by PALVOR_UPDATE_ARCHIVE, else palvor/palvorserver-linux.zip beside
// this router. A plain GET gets the whole file; "Range: bytes=N-" gets the bytes from N on.
function serve_update_archive(): void
{
    $file = getenv('PALVOR_UPDATE_ARCHIVE');
    if (!is_string($file) || $file === '') {
        $file = __DIR__ . '/palvor/palvorserver-linux.zip';
    }
    clearstatcache(true, $file);
    $size = is_file($file) ? filesize($file) : false;
    $in = $size === false ? false : fopen($file, 'rb');
    if ($in === false) {
        not_found();
        return;
    }
    $start = 0;
    $range = $_SERVER['HTTP_RANGE'] ?? null;
    if (is_string($range) && preg_match('/^\s*bytes\s*=\s*(\d+)\s*-\s*$/i', $range, $m)) {
        // Offsets are compared as text when they do not fit an integer.
        if (strlen(ltrim($m[1], '0')) > 18 || (int)$m[1] >= $size) {
            fclose($in);
            http_response_code(416);
            header("Content-Range: bytes */$size");
            header('Content-Length: 0');
            return;
        }
        $start = (int)$m[1];
        http_response_code(206);
        header('Content-Range: bytes ' . $start . '-' . ($size - 1) . '/' . $size);
    } else {
        http_response_code(200);
    }
    header('Content-Type: application/zip');
    header('Accept-Ranges: bytes');
    header('Content-Length: ' . ($size - $start));
    if ($_SERVER['REQUEST_METHOD'] === 'HEAD') {
        fclose($in);
        return;
    }
    fseek($in, $start);
    while (!feof($in) && !connection_aborted()) {
        $piece = fread($in, 65536);
        if ($piece === false) {
            break;
        }
        echo $piece;
        flush();
    }
    fclose($in);
}
