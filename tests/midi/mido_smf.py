"""Helper of SmfInteropTest: lets mido write Standard MIDI Files and describe what it reads.

  mido_smf.py dump FILE       header and every event as text, one line each
  mido_smf.py import FILE     the notes, tempos and meters an import into steps must give
  mido_smf.py make FILE KIND  writes a test file (KIND: type0, type1)

Run with the Debian interpreter (/usr/bin/python3) that has mido.
"""
import sys

import mido


def hexbytes(data):
    return "".join("%02x" % b for b in data)


def meta_data(msg):
    raw = msg.bytes()  # FF, type, variable-length length, data
    pos = 2
    while raw[pos] & 0x80:
        pos += 1
    return raw[1], raw[pos + 1:]


def text(msg):
    t = msg.type
    if t == "note_on" and msg.velocity > 0:
        return "on %d %d %d" % (msg.channel, msg.note, msg.velocity)
    if t in ("note_on", "note_off"):
        return "off %d %d %d" % (msg.channel, msg.note, msg.velocity)
    if t == "polytouch":
        return "poly %d %d %d" % (msg.channel, msg.note, msg.value)
    if t == "control_change":
        return "cc %d %d %d" % (msg.channel, msg.control, msg.value)
    if t == "program_change":
        return "pc %d %d" % (msg.channel, msg.program)
    if t == "aftertouch":
        return "cp %d %d" % (msg.channel, msg.value)
    if t == "pitchwheel":
        return "pw %d %d" % (msg.channel, msg.pitch)
    if t == "sysex":
        return "sysex " + hexbytes(msg.data)
    if msg.is_meta:
        kind, data = meta_data(msg)
        return "meta %d %s" % (kind, hexbytes(data))
    return "other " + t


def absolute(track):
    now = 0
    for msg in track:
        now += msg.time
        yield now, msg


def dump(path):
    f = mido.MidiFile(path)
    print("header %d %d %d" % (f.type, f.ticks_per_beat, len(f.tracks)))
    for i, track in enumerate(f.tracks):
        for now, msg in absolute(track):
            print("%d %d %s" % (i, now, text(msg)))


def steps(ticks, division):
    return ticks * 480 // division


def expected_import(path):
    f = mido.MidiFile(path)
    div = f.ticks_per_beat
    for track in f.tracks:
        events = list(absolute(track))
        offs = [(now, m.channel, m.note) for now, m in events
                if m.type == "note_off" or (m.type == "note_on" and m.velocity == 0)]
        for now, m in events:
            if m.type == "note_on" and m.velocity > 0:
                later = [t for t, ch, n in offs if t > now and ch == m.channel and n == m.note]
                length = min(later) - now if later else 48
                print("note %d %d %d %d %d" % (m.channel, steps(now, div), m.note, m.velocity,
                                               steps(length, div)))
            elif m.type == "set_tempo" and m.tempo > 0:
                print("tempo %d %.6f" % (steps(now, div), 60000000.0 / m.tempo))
            elif m.type == "time_signature":
                exp = {1: 0, 2: 1, 4: 2, 8: 3, 16: 4, 32: 5}.get(m.denominator)
                beat = 1920 >> exp if exp is not None else 0
                print("meter %d %d %d" % (steps(now, div), m.numerator, beat))


def make(path, kind):
    M, Meta = mido.Message, mido.MetaMessage
    if kind == "type0":
        # One track, two channels, running status (mido writes it), note-offs as note_on 0.
        f = mido.MidiFile(type=0, ticks_per_beat=96)
        t = mido.MidiTrack()
        t += [Meta("set_tempo", tempo=400000), Meta("time_signature", numerator=3, denominator=4),
              M("program_change", channel=0, program=19), M("program_change", channel=9, program=0),
              M("sysex", data=[0x7E, 0x7F, 0x09, 0x01])]
        for i in range(24):
            t.append(M("note_on", channel=0, note=60 + i % 12, velocity=90, time=0 if i == 0 else 24))
            t.append(M("note_on", channel=9, note=36 + i % 3, velocity=100 + i))
            t.append(M("note_on", channel=0, note=60 + i % 12, velocity=0, time=40))
            t.append(M("note_off", channel=9, note=36 + i % 3, velocity=64, time=8))
            if i % 5 == 0:
                t.append(M("control_change", channel=0, control=7, value=100 - i))
                t.append(M("pitchwheel", channel=0, pitch=-8192 + 700 * i))
        t.append(Meta("set_tempo", tempo=500000, time=48))
        t.append(M("note_on", channel=0, note=72, velocity=80))
        t.append(M("aftertouch", channel=0, value=33, time=5))
        t.append(M("polytouch", channel=0, note=72, value=44, time=5))
        t.append(Meta("end_of_track", time=0))
        f.tracks.append(t)
    elif kind == "type1":
        f = mido.MidiFile(type=1, ticks_per_beat=960)
        tempo = mido.MidiTrack()
        tempo += [Meta("track_name", name="conductor"), Meta("set_tempo", tempo=600000),
                  Meta("time_signature", numerator=6, denominator=8),
                  Meta("set_tempo", tempo=450000, time=3840),
                  Meta("time_signature", numerator=2, denominator=2, time=1920)]
        f.tracks.append(tempo)
        for ch, base in ((2, 48), (5, 67)):
            t = mido.MidiTrack()
            t.append(Meta("track_name", name="part %d" % ch))
            t.append(M("program_change", channel=ch, program=ch * 3))
            for i in range(40):
                t.append(M("note_on", channel=ch, note=base + (i * 5) % 17, velocity=40 + i,
                           time=0 if i == 0 else 1))
                t.append(M("note_off", channel=ch, note=base + (i * 5) % 17, velocity=0,
                           time=239 + (i % 3) * 240))
            t.append(M("note_on", channel=ch, note=base, velocity=70, time=7))  # never ends
            f.tracks.append(t)
    else:
        raise SystemExit("unknown kind " + kind)
    f.save(path)


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "dump":
        dump(sys.argv[2])
    elif cmd == "import":
        expected_import(sys.argv[2])
    elif cmd == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit("unknown command " + cmd)
