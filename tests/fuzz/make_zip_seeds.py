#!/usr/bin/env python3
"""Writes the seed corpus of the update archive fuzz target (tests/fuzz/corpus-zip/*.zip).

Small archives as the updater meets them: the executable stored or deflated beside a
signature entry of the right shape, names in other case or in folders, a data descriptor,
an archive comment, and damaged ones (cut short, offsets past the end, a broken deflate
stream). Standard library only; the files are committed, so this only needs rerunning when
the seeds change."""
import hashlib
import io
import os
import random
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus-zip")
rng = random.Random(15)


def program(n):
    return b"#!/bin/sh\n# build\n" + bytes(rng.randrange(256) for _ in range(n))


def signature(content, stamp=1700000060):
    # The entry's layout with a signature no key made: it parses, it never verifies.
    head = b"PVUPDSIG" + struct.pack("<IQQ", 1, stamp, len(content)) + hashlib.sha512(content).digest()
    return head + bytes(rng.randrange(256) for _ in range(64))


def archive(entries, comment=b""):
    raw = io.BytesIO()
    with zipfile.ZipFile(raw, "w") as z:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = method
            z.writestr(info, data)
        z.comment = comment
    return raw.getvalue()


def main():
    os.makedirs(OUT, exist_ok=True)
    exe = program(600)
    text = b"tempo track note velocity " * 40
    seeds = {
        "signed-deflated": archive([("palvorserver", exe, zipfile.ZIP_DEFLATED),
                                    ("palvorserver.sig", signature(exe), zipfile.ZIP_STORED)]),
        "signed-stored": archive([("palvorserver", exe, zipfile.ZIP_STORED),
                                  ("palvorserver.sig", signature(exe), zipfile.ZIP_STORED)]),
        "several-entries": archive([("docs/palvorserver", b"not this", zipfile.ZIP_STORED),
                                    ("PalvorServer", text, zipfile.ZIP_DEFLATED),
                                    ("readme.txt", b"hello", zipfile.ZIP_STORED)]),
        "unsigned": archive([("palvorserver", text, zipfile.ZIP_DEFLATED)]),
        "comment": archive([("palvorserver", b"x", zipfile.ZIP_STORED)], b"release 2"),
        "empty": archive([]),
    }
    # A data descriptor (sizes after the data, zero in the local header): what zipfile
    # writes to a stream it cannot seek back in.
    class Stream(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

        def tell(self):
            raise OSError("not seekable")

    raw = Stream()
    with zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED) as z:
        z.writestr("palvorserver", text)
    seeds["data-descriptor"] = bytes(raw.data)
    whole = seeds["signed-deflated"]
    seeds["cut-short"] = whole[: len(whole) // 2] + whole[-22:]
    broken = bytearray(seeds["unsigned"])
    broken[40] ^= 0xFF  # inside the deflate stream
    seeds["broken-deflate"] = bytes(broken)
    past = bytearray(whole)
    past[-6:-2] = struct.pack("<I", len(whole) + 1000)  # directory offset past the end
    seeds["offset-past-end"] = bytes(past)
    many = bytearray(whole)
    many[-12:-10] = struct.pack("<H", 0xFFFF)  # more entries than the directory holds
    seeds["count-too-high"] = bytes(many)
    seeds["signature-alone"] = signature(exe)
    for name, data in seeds.items():
        with open(os.path.join(OUT, name + ".zip"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
