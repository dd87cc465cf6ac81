<?php
// Web API of the reference site.
//   ?api=IsAcceptableUser&solutionid=N&visiterid=N&token=T  -> {"acceptable":true|false}
//   ?api=KeepAlive                                           -> {"ok":true}, records a time stamp
//
// The site's data lives outside the document root, in the data folder $PALVOR_SITE_DATA:
// - the visitor table: $PALVOR_VISITORS when set, else visitors.json in the data folder,
//   else /etc/palvor/visitors.json (as palvor-visitor finds it). An entry may restrict the
//   solution ids it admits with "solutions" (ids compared as unsigned 32-bit). A data folder
//   with no table gets a copy of demo-visitors.json, the demonstration table a source
//   checkout keeps beside the site. An installed site has none: its table is the package's
//   /etc/palvor/visitors.json, empty until palvor-visitor adds a visitor.
// - the keep-alive log keepalive.log: one line per call; at $PALVOR_KEEPALIVE_LIMIT bytes
//   (default 65536) it becomes keepalive.log.1 and a new one starts, so the two together
//   never hold more than twice that.

const DEFAULT_VISITOR_TABLE = '/etc/palvor/visitors.json';
const DEFAULT_KEEPALIVE_LIMIT = 65536;

function reply(int $status, array $body): void
{
    http_response_code($status);
    header('Content-Type: application/json');
    header('Cache-Control: no-store');
    echo json_encode($body);
    exit;
}

// A decimal 32-bit integer, signed or unsigned form; null when the text is not one.
function parse_int32(?string $text): ?int
{
    if ($text === null || !preg_match('/^-?[0-9]{1,10}$/', $text)) {
        return null;
    }
    $value = intval($text);
    if ($value < -2147483648 || $value > 4294967295) {
        return null;
    }
    return $value;
}

function as_unsigned32(int $value): int
{
    return $value < 0 ? $value + 4294967296 : $value;
}

function setting(string $name): ?string
{
    $value = getenv($name);
    return ($value !== false && $value !== '') ? $value : null;
}

function data_folder(): ?string
{
    return setting('PALVOR_SITE_DATA');
}

function visitor_table(): string
{
    $folder = data_folder();
    return setting('PALVOR_VISITORS') ?? ($folder !== null ? $folder . '/visitors.json' : DEFAULT_VISITOR_TABLE);
}

// True when the file or folder lies inside the document root, where the server would serve it.
function inside_document_root(string $path): bool
{
    $root = realpath($_SERVER['DOCUMENT_ROOT'] ?? '');
    $real = realpath($path);
    if ($real === false) {
        $real = realpath(dirname($path));
    }
    return $root !== false && $real !== false && ($real === $root || str_starts_with($real, $root . '/'));
}

// A data folder without a table gets the demonstration table of a source checkout, when
// there is one; an existing table is never replaced.
function seed_demo_table(string $table): void
{
    $demo = dirname(__DIR__, 3) . '/demo-visitors.json';
    if (setting('PALVOR_VISITORS') !== null || data_folder() === null || file_exists($table) || !is_file($demo)) {
        return;
    }
    $part = $table . '.' . bin2hex(random_bytes(6));
    if (@copy($demo, $part) && @chmod($part, 0640)) {
        @link($part, $table);  // fails harmlessly when a table appeared meanwhile
    }
    @unlink($part);
}

function is_acceptable_user(): bool
{
    $solution = parse_int32($_GET['solutionid'] ?? null);
    $visitor = parse_int32($_GET['visiterid'] ?? null);
    $token = $_GET['token'] ?? null;
    if ($solution === null || $visitor === null || !is_string($token) || $token === '') {
        return false;
    }
    $file = visitor_table();
    seed_demo_table($file);
    $table = json_decode((string) @file_get_contents($file), true);
    if (!is_array($table) || !is_array($table['visitors'] ?? null)) {
        return false;
    }
    foreach ($table['visitors'] as $entry) {
        if (!is_array($entry) || ($entry['visiterid'] ?? null) !== $visitor) {
            continue;
        }
        if (!is_string($entry['token'] ?? null) || !hash_equals($entry['token'], $token)) {
            continue;
        }
        if (!isset($entry['solutions'])) {
            return true;
        }
        foreach ((array) $entry['solutions'] as $allowed) {
            if (is_int($allowed) && as_unsigned32($allowed) === as_unsigned32($solution)) {
                return true;
            }
        }
    }
    return false;
}

// Appends one line to keepalive.log in the data folder, which is rotated at the limit.
// False when it cannot be recorded.
function record_keep_alive(string $folder): bool
{
    $limit = setting('PALVOR_KEEPALIVE_LIMIT');
    $limit = ($limit !== null && ctype_digit($limit) && (int) $limit > 0) ? (int) $limit : DEFAULT_KEEPALIVE_LIMIT;
    $line = gmdate('Y-m-d\TH:i:s\Z') . ' ' . ($_SERVER['REMOTE_ADDR'] ?? '-') . "\n";
    $log = $folder . '/keepalive.log';
    // Another request may rotate the log between our open and our lock: then the file we
    // hold is no longer the log, and we open again.
    for ($attempt = 0; $attempt < 5; ++$attempt) {
        $out = @fopen($log, 'a');
        if ($out === false) {
            return false;
        }
        if (!flock($out, LOCK_EX)) {
            fclose($out);
            return false;
        }
        clearstatcache(true, $log);
        $held = fstat($out);
        $now = @stat($log);
        if ($now === false || $now['ino'] !== $held['ino'] || $now['dev'] !== $held['dev']) {
            fclose($out);
            continue;
        }
        if ($held['size'] > 0 && $held['size'] + strlen($line) > $limit) {
            if (!@rename($log, $log . '.1')) {
                fclose($out);
                return false;
            }
            fclose($out);
            continue;
        }
        $written = fwrite($out, $line);
        fclose($out);
        return $written === strlen($line);
    }
    return false;
}

$folder = data_folder();
if ($folder !== null && inside_document_root($folder)) {
    reply(500, ['error' => 'the data folder PALVOR_SITE_DATA lies inside the document root']);
}
$api = $_GET['api'] ?? '';
switch ($api) {
    case 'IsAcceptableUser':
        if (inside_document_root(visitor_table())) {
            reply(500, ['error' => 'the visitor table lies inside the document root']);
        }
        reply(200, ['acceptable' => is_acceptable_user()]);
    case 'KeepAlive':
        if ($folder === null) {
            reply(500, ['error' => 'no data folder: set PALVOR_SITE_DATA']);
        }
        if (!record_keep_alive($folder)) {
            reply(500, ['error' => 'cannot record keep-alive']);
        }
        reply(200, ['ok' => true]);
    default:
        reply(400, ['error' => 'unknown api']);
}
