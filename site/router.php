<?php
// Router for PHP's built-in server: the visitor table and other data files are never
// served; everything else is served as usual from the document root.
$path = parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if (!is_string($path) || preg_match('/\.(json|log)$/i', $path) || basename($path) === 'router.php') {
    http_response_code(404);
    header('Content-Type: text/plain');
    echo "Not found\n";
    return true;
}
return false;
