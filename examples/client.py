#!/usr/bin/env python3
"""A small client of the PalvorServer sequencer protocol (Python 3, standard library only).
It encodes and decodes frames itself, as docs/protocol.md describes them.

    client.py --port 4000 --visitor 1 --token alpha --solution 5 [--title TEXT]
        registers, creates a sequence (or takes --sequence ID), opens it, creates a track,
        a port and a tempo and three notes, and prints their identifiers;
    client.py --port 4000 --visitor 1 --token alpha --solution 5 --watch SECONDS
        registers, opens every sequence of the greeting and prints what the server sends.

Exit codes: 0 done, 1 the server did not apply a request, 2 usage, 3 cannot connect,
registration refused, connection lost or unreadable data.
"""
import argparse
import socket
import struct
import sys
import time
import uuid

# ---- serialize ids -------------------------------------------------------------------
# Every object on the wire starts with a 16-bit id: the CRC-16/ARC of its class's
# qualified name (polynomial 0x8005 reflected = 0xA001, initial value 0, no final xor).


def crc16_arc(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


# Embedded property objects: their fields in wire order (they carry no id of their own).
STRUCTS = {
    "CSequence": [("sTitle", "str")],
    "CTrack": [("sTitle", "str")],
    "CPort": [("idTrack", "uid"), ("sTitle", "str"), ("sInstrument", "str"),
              ("nChannel", "u8"), ("bEnable", "bool")],
}

# Event kinds: each travels as its serialize id followed by these fields.
EVENT_KINDS = {
    "CEventTempo": [("dTempo", "double")],
    "CEventMeter": [("nBeats", "u8"), ("nBeatLength", "u16")],
    "CEventExclusive": [("vData", "blob")],
    "CEventProgramChange": [("nProgram", "u8")],
    "CEventPitchBend": [("nBend", "i16")],
    "CEventNote": [("nNote", "u8"), ("nVelocity", "u8"), ("nLength", "u32")],
    "CEventControlChange": [("nControl", "u8"), ("nValue", "u8")],
}

# The 22 protocol commands and their fields in wire order.
COMMANDS = {
    "CRegistClient": [("nVisiterId", "u32"), ("sToken", "str"), ("nSolutionId", "u32")],
    "CCommandEcho": [("idEcho", "uid")],
    "CCommandExportSmf": [("idRequest", "uid"), ("idSequence", "uid")],
    "CCommandExportedSmf": [("idRequest", "uid"), ("idSequence", "uid"), ("vSmf", "blob")],
    "CCommandDelete": [("idSet", "uidset")],
    "CCommandDeleted": [("setSequence", "uidset"), ("setTrack", "uidset"),
                        ("setPort", "uidset"), ("setEvent", "uidset")],
    "CCommandChangedSequenceProperty": [("idSequence", "uid"), ("property", "CSequence")],
    "CCommandCreateSequence": [("idSequence", "uid"), ("property", "CSequence")],
    "CCommandOpenSequence": [("idSet", "uidset")],
    "CCommandChangedTrackProperty": [("idTrack", "uid"), ("property", "CTrack")],
    "CCommandSetSequenceTitle": [("idSequence", "uid"), ("sTitle", "str")],
    "CCommandCreateTrack": [("idTrack", "uid"), ("idSequence", "uid"), ("property", "CTrack")],
    "CCommandSetTrackTitle": [("idTrack", "uid"), ("sTitle", "str")],
    "CCommandTrackChangeMml": [("idTrack", "uid"), ("sMml", "str")],
    "CCommandTrackCompileMml": [("idTrack", "uid")],
    "CCommandTrackCompiledMml": [("idTrack", "uid"), ("vMessages", "strlist")],
    "CCommandSetPortEnable": [("idPort", "uid"), ("bEnable", "bool")],
    "CCommandPortChangeInstrument": [("idPort", "uid"), ("sInstrument", "str"), ("nChannel", "u8")],
    "CCommandChangedPortProperty": [("idPort", "uid"), ("property", "CPort")],
    "CCommandCreatePort": [("idPort", "uid"), ("property", "CPort")],
    "CCommandLoadSmf": [("vSmf", "blob"), ("idSequence", "uid"), ("sInstrument", "str"),
                        ("vIds", "uidlist")],
    "CCommandCreateEvent": [("idPort", "uid"), ("events", "events")],
}

COMMAND_ID = {n: crc16_arc(("DUve::Sequencer::CProtocol::" + n).encode()) for n in COMMANDS}
COMMAND_NAME = {i: n for n, i in COMMAND_ID.items()}
EVENT_ID = {n: crc16_arc(("DUve::CRSeq::Property::" + n).encode()) for n in EVENT_KINDS}
EVENT_NAME = {i: n for n, i in EVENT_ID.items()}

FIXED = {"u8": "<B", "bool": "<?", "u16": "<H", "i16": "<h", "u32": "<I", "double": "<d"}


class ProtocolError(Exception):
    """Bytes that do not decode: the whole payload is rejected, as the server does."""


# ---- encoding --------------------------------------------------------------------------

def write_field(out, kind, value):
    if kind in FIXED:
        out += struct.pack(FIXED[kind], value)
    elif kind == "uid":
        assert len(value) == 16
        out += value
    elif kind == "str":  # marker ff fe ff (wide form, the only one written), length, UTF-16LE
        units = value.encode("utf-16-le")
        n = len(units) // 2
        out += b"\xff\xfe\xff" + (struct.pack("<B", n) if n < 0xFF else struct.pack(
            "<BH", 0xFF, n) if n < 0xFFFE else struct.pack("<BHI", 0xFF, 0xFFFF, n)) + units
    elif kind == "blob":
        out += struct.pack("<I", len(value)) + bytes(value)
    elif kind in ("uidset", "uidlist", "strlist"):
        items = sorted(value) if kind == "uidset" else list(value)  # sets go in byte order
        out += struct.pack("<I", len(items))
        for item in items:
            write_field(out, "str" if kind == "strlist" else "uid", item)
    elif kind == "events":
        out += struct.pack("<I", len(value))
        for event in sorted(value, key=lambda e: e["nStep"]):  # step order, ties kept
            out += event["idEvent"] + struct.pack("<IH", event["nStep"], EVENT_ID[event["kind"]])
            for name, k in EVENT_KINDS[event["kind"]]:
                write_field(out, k, event[name])
    else:  # an embedded property object
        for name, k in STRUCTS[kind]:
            write_field(out, k, value[name])


def encode(name, **fields):
    out = bytearray(struct.pack("<H", COMMAND_ID[name]))
    for field, kind in COMMANDS[name]:
        write_field(out, kind, fields[field])
    return bytes(out)


# ---- decoding --------------------------------------------------------------------------

class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if n > len(self.data) - self.pos:
            raise ProtocolError("data ends inside a field")
        self.pos += n
        return self.data[self.pos - n:self.pos]

    def fixed(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def string(self):
        # The server writes only the wide form (docs/protocol.md also shows the narrow one).
        if self.take(3) != b"\xff\xfe\xff":
            raise ProtocolError("a string without the wide-string marker")
        n = self.fixed("<B")
        if n == 0xFF:
            n = self.fixed("<H")
            n = self.fixed("<I") if n == 0xFFFF else n
        return self.take(2 * n).decode("utf-16-le", errors="replace")

    def field(self, kind):
        if kind in FIXED:
            return self.fixed(FIXED[kind])
        if kind == "uid":
            return self.take(16)
        if kind == "str":
            return self.string()
        if kind == "blob":
            n = self.fixed("<i")
            if n < 0:
                raise ProtocolError("negative blob length")
            return self.take(n)
        if kind in ("uidset", "uidlist", "strlist"):
            items = [self.field("str" if kind == "strlist" else "uid")
                     for _ in range(self.fixed("<I"))]
            return set(items) if kind == "uidset" else items
        if kind == "events":
            events = []
            for _ in range(self.fixed("<I")):
                event = {"idEvent": self.field("uid"), "nStep": self.fixed("<I")}
                event_id = self.fixed("<H")
                if event_id not in EVENT_NAME:
                    raise ProtocolError("unknown event kind %04x" % event_id)
                event["kind"] = EVENT_NAME[event_id]
                for name, k in EVENT_KINDS[event["kind"]]:
                    event[name] = self.field(k)
                events.append(event)
            return events
        return {name: self.field(k) for name, k in STRUCTS[kind]}


def decode(payload):
    """The commands of one frame's payload: a list of (name, fields)."""
    reader, commands = Reader(payload), []
    while len(payload) - reader.pos >= 2:  # a lone trailing byte is ignored
        command_id = reader.fixed("<H")
        if command_id not in COMMAND_NAME:
            raise ProtocolError("unknown serialize id %04x" % command_id)
        name = COMMAND_NAME[command_id]
        commands.append((name, {f: reader.field(k) for f, k in COMMANDS[name]}))
    return commands


def describe(name, fields):
    """One line per command: identifiers as 32 hex digits, blobs by their size."""
    def show(value):
        if isinstance(value, bytes):
            return value.hex() if len(value) == 16 else "<%d bytes>" % len(value)
        if isinstance(value, dict):
            return "{" + " ".join("%s=%s" % (k, show(v)) for k, v in value.items()) + "}"
        if isinstance(value, (set, list)):
            return "[" + ", ".join(show(v) for v in (sorted(value) if isinstance(value, set) else value)) + "]"
        return repr(value)
    return name + " " + " ".join("%s=%s" % (f, show(v)) for f, v in fields.items())


# ---- the connection --------------------------------------------------------------------

class Failure(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class Closed(Failure):
    def __init__(self):
        super().__init__(3, "the server closed the connection")


class Client:
    def __init__(self, host, port, timeout):
        self.timeout, self.buffer = timeout, bytearray()
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise Failure(3, "cannot connect to %s:%d: %s" % (host, port, e))

    def send(self, *commands):
        """One frame: a 32-bit little-endian length, then the encoded commands."""
        payload = b"".join(encode(name, **fields) for name, fields in commands)
        self.sock.sendall(struct.pack("<I", len(payload)) + payload)

    def _fill(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Closed()
            self.buffer += chunk

    def receive(self, timeout):
        """The commands of the next frame, or None when none starts within `timeout`."""
        self.sock.settimeout(max(timeout, 0.001))
        try:
            self._fill(4)
        except socket.timeout:
            return None  # what arrived so far stays in the buffer
        size = 4 + struct.unpack_from("<I", self.buffer)[0]
        self.sock.settimeout(self.timeout)  # the rest of a started frame is on its way
        self._fill(size)
        payload, self.buffer = bytes(self.buffer[4:size]), self.buffer[size:]
        try:
            return decode(payload)
        except ProtocolError as e:
            raise Failure(3, "unreadable frame from the server: %s" % e)

    def register(self, visitor, token, solution):
        """Sends the registration; returns the greeting's commands after its CRegistClient."""
        self.send(("CRegistClient", {"nVisiterId": visitor, "sToken": token, "nSolutionId": solution}))
        try:
            greeting = self.receive(self.timeout)
        except Closed:
            raise Failure(3, "registration refused: the server closed the connection")
        if greeting is None:
            raise Failure(3, "no greeting within %g s" % self.timeout)
        if not greeting or greeting[0][0] != "CRegistClient":
            raise Failure(3, "the greeting does not start with CRegistClient")
        return greeting[1:]

    def request(self, *commands):
        """Sends the commands and an echo in one frame; returns everything received before
        the echo came back. The server handles a client's commands in order, so by then it
        has handled ours, and what they caused for us has arrived."""
        marker = new_id()
        self.send(*commands, ("CCommandEcho", {"idEcho": marker}))
        received, deadline = [], time.monotonic() + self.timeout
        while True:
            frame = self.receive(deadline - time.monotonic())
            if frame is None:
                raise Failure(3, "no answer within %g s" % self.timeout)
            for name, fields in frame:
                if name == "CCommandEcho" and fields["idEcho"] == marker:
                    return received
                received.append((name, fields))


def new_id():
    # A random (version 4) GUID in its in-memory layout, as the server makes them.
    return uuid.uuid4().bytes_le


def expect(received, name, key, value, what):
    """The first `name` command whose `key` is `value`; a failure when the server sent none."""
    for n, fields in received:
        if n == name and fields[key] == value:
            return fields
    raise Failure(1, "the server did not %s" % what)


def create(client, greeting, args):
    sequences = {f["idSequence"] for n, f in greeting if n == "CCommandCreateSequence"}
    if args.sequence:
        seq = args.sequence
        if seq not in sequences:
            raise Failure(1, "the solution has no sequence %s" % seq.hex())
    else:
        # A new sequence is announced to every client of the solution, the creator included.
        seq = new_id()
        got = client.request(("CCommandCreateSequence", {"idSequence": seq,
                                                         "property": {"sTitle": args.title}}))
        expect(got, "CCommandCreateSequence", "idSequence", seq, "create the sequence")
    # Changes inside a sequence reach only the clients that have it open: open it first, so
    # that the server's broadcasts confirm each of the steps below.
    got = client.request(("CCommandOpenSequence", {"idSet": {seq}}))
    expect(got, "CCommandOpenSequence", "idSet", {seq}, "open the sequence")
    track, port = new_id(), new_id()
    got = client.request(("CCommandCreateTrack", {"idTrack": track, "idSequence": seq,
                                                  "property": {"sTitle": args.track_title}}))
    expect(got, "CCommandCreateTrack", "idTrack", track, "create the track")
    got = client.request(("CCommandCreatePort", {"idPort": port, "property": {
        "idTrack": track, "sTitle": "Melody", "sInstrument": args.instrument,
        "nChannel": args.channel, "bEnable": True}}))
    expect(got, "CCommandCreatePort", "idPort", port, "create the port")
    # C, E and G as quarter notes (480 steps each), after a tempo of 120 at the start.
    events = [{"idEvent": new_id(), "nStep": 0, "kind": "CEventTempo", "dTempo": 120.0}]
    for i, note in enumerate((60, 64, 67)):
        events.append({"idEvent": new_id(), "nStep": 480 * i, "kind": "CEventNote",
                       "nNote": note, "nVelocity": 100, "nLength": 480})
    got = client.request(("CCommandCreateEvent", {"idPort": port, "events": events}))
    stored = expect(got, "CCommandCreateEvent", "idPort", port, "store the events")
    if len(stored["events"]) != len(events):
        raise Failure(1, "the server stored %d of %d events" % (len(stored["events"]), len(events)))
    print("sequence", seq.hex())
    print("track", track.hex())
    print("port", port.hex())
    for event in events:
        print("event", event["idEvent"].hex())


def watch(client, greeting, seconds):
    for name, fields in greeting:
        print(describe(name, fields), flush=True)
    sequences = {f["idSequence"] for n, f in greeting if n == "CCommandCreateSequence"}
    if sequences:
        client.send(("CCommandOpenSequence", {"idSet": sequences}))
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        frame = client.receive(min(0.5, deadline - time.monotonic()))
        for name, fields in frame or []:
            print(describe(name, fields), flush=True)


def identifier(text):
    """An identifier in its text form: 32 hex digits."""
    if len(text) != 32:
        raise argparse.ArgumentTypeError("an identifier has 32 hex digits")
    return bytes.fromhex(text)  # its ValueError is reported by argparse as well


def main():
    parser = argparse.ArgumentParser(description="A small client of the sequencer server.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=4000)
    parser.add_argument("--visitor", type=int, default=0, help="visitor number")
    parser.add_argument("--token", default="", help="the visitor's access token")
    parser.add_argument("--solution", type=int, default=0, help="solution number")
    parser.add_argument("--timeout", type=float, default=15.0, help="seconds to wait for the server")
    parser.add_argument("--title", default="Python demo", help="title of the new sequence")
    parser.add_argument("--sequence", type=identifier, help="add to this existing sequence")
    parser.add_argument("--track-title", default="Piano")
    parser.add_argument("--instrument", default="MIDI Out")
    parser.add_argument("--channel", type=int, default=0, choices=range(16), metavar="0-15")
    parser.add_argument("--watch", type=float, metavar="SECONDS",
                        help="print what the server sends for SECONDS instead of editing")
    args = parser.parse_args()
    if not (0 <= args.visitor < 2 ** 32 and 0 <= args.solution < 2 ** 32):
        parser.error("--visitor and --solution are 32-bit unsigned numbers")
    try:
        client = Client(args.host, args.port, args.timeout)
        greeting = client.register(args.visitor, args.token, args.solution)
        if args.watch is not None:
            watch(client, greeting, args.watch)
        else:
            create(client, greeting, args)
        return 0
    except Failure as e:
        print("client.py: %s" % e, file=sys.stderr)
        return e.code
    except OSError as e:
        print("client.py: connection failed: %s" % e, file=sys.stderr)
        return 3


if __name__ == "__main__":
    sys.exit(main())
