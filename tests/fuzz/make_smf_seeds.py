#!/usr/bin/env python3
"""Writes the seed corpus of the Standard MIDI File fuzz target (tests/fuzz/corpus-smf/*.mid).

Small files, most of them valid, some malformed on purpose (cut-off events, data bytes
without a status, overlong quantities). Standard library only; the files are committed,
so this only needs rerunning when the seeds change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus-smf")


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def header(count, division=480, fmt=None, length=6):
    if fmt is None:
        fmt = 1 if count > 1 else 0
    return b"MThd" + struct.pack(">IHHH", length, fmt, count, division) + bytes(length - 6)


def chunk(events, kind=b"MTrk"):
    return kind + struct.pack(">I", len(events)) + events


def smf(chunks, division=480, **kw):
    return header(len(chunks), division, **kw) + b"".join(chunk(c) for c in chunks)


def ev(delta, *data):
    return vlq(delta) + bytes(data)


def meta(delta, kind, data):
    return vlq(delta) + bytes([0xFF, kind]) + vlq(len(data)) + bytes(data)


EOT = meta(0, 0x2F, b"")
TEMPO_120 = meta(0, 0x51, b"\x07\xa1\x20")
SIX_EIGHT = meta(0, 0x58, b"\x06\x03\x18\x08")


def notes(channel, count, start=60, running=True, off_as_on=True):
    out = b""
    for i in range(count):
        n = start + i % 12
        on = bytes([0x90 | channel, n, 90]) if (i == 0 or not running) else bytes([n, 90])
        out += vlq(0 if i == 0 else 10) + on
        if off_as_on:
            out += vlq(110) + (bytes([n, 0]) if running else bytes([0x90 | channel, n, 0]))
        else:
            out += vlq(110) + bytes([0x80 | channel, n, 64])
    return out


SEEDS = {
    "one-note": smf([ev(0, 0x90, 60, 100) + ev(480, 0x80, 60, 0) + EOT]),
    "format1-tracks": smf([TEMPO_120 + SIX_EIGHT + meta(1920, 0x51, b"\x09\x27\xc0") + EOT,
                           ev(0, 0xC0, 5) + notes(0, 16) + EOT,
                           ev(0, 0xC9, 0) + notes(9, 8, start=36, off_as_on=False) + EOT]),
    "running-status": smf([notes(3, 24) + EOT], division=96),
    "channel-kinds": smf([ev(0, 0xA1, 60, 20) + ev(0, 0xB1, 7, 100) + ev(5, 0xC1, 12)
                          + ev(5, 0xD1, 50) + ev(5, 0xE1, 0x00, 0x40) + ev(5, 0xE1, 0x7F, 0x7F)
                          + ev(5, 0xE1, 0x00, 0x00) + EOT]),
    "sysex": smf([ev(0, 0xF0, 5, 0x7E, 0x7F, 0x09, 0x01, 0xF7)
                  + ev(10, 0xF0, 3, 0x43, 0x10, 0xF7) + ev(0, 0xF7, 2, 0xF8, 0xF7)
                  + ev(0, 0xF0, 4, 0x41, 0x90, 0x3C, 0x40) + EOT]),
    "metas": smf([meta(0, 0x00, b"\x00\x01") + meta(0, 0x01, b"text") + meta(0, 0x03, b"name")
                  + meta(0, 0x20, b"\x02") + meta(0, 0x21, b"\x00") + meta(0, 0x54, bytes(5))
                  + meta(0, 0x59, b"\xfe\x01") + meta(0, 0x7F, b"\x00\x00\x41\x01")
                  + TEMPO_120 + SIX_EIGHT + EOT]),
    "division-960": smf([TEMPO_120 + notes(0, 12) + EOT, notes(1, 12, start=48) + EOT],
                        division=960),
    "division-smpte": smf([notes(0, 4) + EOT], division=0xE728),
    "division-odd": smf([notes(0, 6) + EOT], division=7),
    "header-length-8": smf([notes(0, 2) + EOT], length=8),
    "truncated-event": smf([notes(0, 3) + ev(0, 0x90, 60)]),
    "truncated-meta": smf([notes(0, 2) + bytes([0x00, 0xFF, 0x01, 0x20]) + b"short"]),
    "data-before-status": smf([bytes([0x00, 0x3C, 0x40, 0x00, 0x90, 0x3C, 0x40]) + EOT]),
    "realtime-bytes": smf([ev(0, 0x90, 60, 90) + ev(0, 0xF8) + ev(0, 0xFE) + ev(10, 0x3C, 0)
                           + ev(0, 0xF1, 0x10) + EOT]),
    "zero-tempo": smf([meta(0, 0x51, b"\x00\x00\x00") + meta(0, 0x51, b"\x07") + notes(0, 2)
                       + EOT]),
    "time-wrap": smf([b"".join(ev(0x0FFFFFFF, 0x90, 60, 90) for _ in range(16))
                      + ev(0x40, 0x80, 60, 0) + EOT]),
    "overlong-vlq": smf([notes(0, 2) + bytes([0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x40])]),
    "huge-lengths": header(2) + chunk(notes(0, 2) + bytes([0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F]))
                    + b"MTrk\xff\xff\xff\xf0" + notes(0, 2),
    "data-top-bit": smf([ev(0, 0x90, 60, 100) + ev(480, 0x78, 0x80) + bytes([0x3C, 0x00, 0x00, 0xFF])
                         + ev(0, 0xE0, 0xFF, 0xFF)]),
    # Deltas added through skipped bytes leave a gap longer than one delta-time can hold.
    "long-gap": smf([bytes.fromhex("00f005ffffff0bf70af0034310f700f702f8f7460"
                                   "0b700013c4000ff2f00")]),
    "no-end-of-track": smf([notes(2, 5), b""]),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(SEEDS.items()):
        with open(os.path.join(OUT, name + ".mid"), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(SEEDS), OUT))


if __name__ == "__main__":
    main()
