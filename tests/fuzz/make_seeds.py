#!/usr/bin/env python3
"""Writes the seed corpus for the LoadObjects fuzz targets (tests/fuzz/corpus/seed-*).

Each seed is one payload: valid objects of either family, a few truncated on purpose.
Run from anywhere; the files are committed, so this only needs rerunning when the
classes change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")


def crc16_arc(text):
    crc = 0
    for c in text.encode("ascii"):
        crc ^= c
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def cid(name):
    return struct.pack("<H", crc16_arc("DUve::Sequencer::CProtocol::" + name))


def pid(name):
    return struct.pack("<H", crc16_arc("DUve::CRSeq::Property::" + name))


def s(text):
    units = text.encode("utf-16-le")
    return b"\xff\xfe\xff" + bytes([len(units) // 2]) + units


def u32(v):
    return struct.pack("<I", v)


ID1 = bytes(range(16))
ID2 = bytes([0x80 + i for i in range(16)])


def event(step, body):
    return ID1 + u32(step) + body


note = pid("CEventNote") + bytes([60, 100]) + u32(480)
tempo = pid("CEventTempo") + struct.pack("<d", 133.0)
sysex = pid("CEventExclusive") + u32(3) + b"\x41\x10\x42"
events = u32(3) + event(0, tempo) + event(480, note) + event(480, sysex)
port = ID2 + s("Melody") + s("MIDI Out") + b"\x02\x01"

seeds = {
    "regist": cid("CRegistClient") + u32(5) + s("ab") + u32(7),
    "echo": cid("CCommandEcho") + ID1,
    "export": cid("CCommandExportSmf") + ID1 + ID2,
    "exported": cid("CCommandExportedSmf") + ID1 + ID2 + u32(4) + b"MThd",
    "delete": cid("CCommandDelete") + u32(2) + ID1 + ID2,
    "deleted": cid("CCommandDeleted") + u32(1) + ID1 + u32(0) + u32(1) + ID2 + u32(0),
    "create-seq": cid("CCommandCreateSequence") + ID1 + s("Song"),
    "open": cid("CCommandOpenSequence") + u32(1) + ID1,
    "track": cid("CCommandCreateTrack") + ID1 + ID2 + s("Piano")
    + cid("CCommandTrackChangeMml") + ID1 + s("t120 o4 cdefg"),
    "compiled": cid("CCommandTrackCompiledMml") + ID1 + u32(2) + s("1: x") + s("2: y"),
    "port": cid("CCommandCreatePort") + ID1 + port
    + cid("CCommandSetPortEnable") + ID1 + b"\x00"
    + cid("CCommandPortChangeInstrument") + ID1 + s("Synth") + b"\x09",
    "load-smf": cid("CCommandLoadSmf") + u32(4) + b"MThd" + ID1 + s("Out") + u32(1) + ID2,
    "create-event": cid("CCommandCreateEvent") + ID2 + events,
    "narrow": cid("CCommandSetTrackTitle") + ID1 + b"\x03abc",
    "truncated": cid("CCommandCreateEvent") + ID2 + events[:-5],
    "prop-list": pid("CListEvent") + events,
    "prop-port": pid("CPort") + port + pid("CSequence") + s("x") + pid("CTrack") + s("y"),
    "prop-common": pid("CEventCommon") + event(7, pid("CEventMeter") + b"\x06\xf0\x00"),
    "prop-kinds": pid("CEventProgramChange") + b"\x05" + pid("CEventPitchBend") + b"\x00\xe0"
    + pid("CEventControlChange") + b"\x07\x64",
    "prop-nested": pid("CEventCommon") + ID1 + u32(0) + pid("CEventCommon") + ID1 + u32(0) + note,
}

os.makedirs(OUT, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(OUT, "seed-" + name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds written to {OUT}")
