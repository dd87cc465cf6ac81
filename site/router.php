<?php
// Router for PHP's built-in server: the visitor table and other data files are never
// served; the update archive is served with range support (the built-in server ignores
// Range for static files); everything else is served as usual from the document root.
$path = parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if (!is_string($path) || preg_match('/\.(json|log)$/i', $path) || basename($path) === 'router.php') {
    http_response_code(404);
    header('Content-Type: text/plain');
    echo "Not found\n";
    return true;
}

if ($path === '/palvor/palvorserver-linux.zip') {
    serve_update_archive();
    return true;
}
return false;

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
        http_response_code(404);
        header('Content-Type: text/plain');
        echo "Not found\n";
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
