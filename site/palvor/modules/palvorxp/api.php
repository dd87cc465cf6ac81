<?php
// Web API of the reference site.
//   ?api=IsAcceptableUser&solutionid=N&visiterid=N&token=T  -> {"acceptable":true|false}
//   ?api=KeepAlive                                           -> {"ok":true}, records a time stamp
// Visitors and their tokens come from visitors.json beside this script; an entry may
// restrict the solution ids it admits with "solutions" (ids compared as unsigned 32-bit).
// Keep-alive stamps go to keepalive.log in $PALVOR_SITE_DATA, or the system temp folder.

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

function is_acceptable_user(): bool
{
    $solution = parse_int32($_GET['solutionid'] ?? null);
    $visitor = parse_int32($_GET['visiterid'] ?? null);
    $token = $_GET['token'] ?? null;
    if ($solution === null || $visitor === null || !is_string($token) || $token === '') {
        return false;
    }
    $table = json_decode((string) @file_get_contents(__DIR__ . '/visitors.json'), true);
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

function data_folder(): string
{
    $folder = getenv('PALVOR_SITE_DATA');
    return ($folder !== false && $folder !== '') ? $folder : sys_get_temp_dir();
}

$api = $_GET['api'] ?? '';
switch ($api) {
    case 'IsAcceptableUser':
        reply(200, ['acceptable' => is_acceptable_user()]);
    case 'KeepAlive':
        $line = gmdate('Y-m-d\TH:i:s\Z') . ' ' . ($_SERVER['REMOTE_ADDR'] ?? '-') . "\n";
        $written = @file_put_contents(data_folder() . '/keepalive.log', $line, FILE_APPEND | LOCK_EX);
        if ($written === false) {
            reply(500, ['error' => 'cannot record keep-alive']);
        }
        reply(200, ['ok' => true]);
    default:
        reply(400, ['error' => 'unknown api']);
}
