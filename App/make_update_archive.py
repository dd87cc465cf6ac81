#!/usr/bin/env python3
"""Writes the self-updater's archive: make_update_archive.py EXE OUT.zip

The archive holds EXE deflated at its root under its own file name, with no archive
comment and the sizes in the local header (no data descriptor), which is what the
updater reads through HTTP range requests.
"""
import os
import sys
import tempfile
import zipfile


def main(argv):
    if len(argv) != 3:
        print("usage: make_update_archive.py EXE OUT.zip", file=sys.stderr)
        return 2
    exe, out = argv[1], argv[2]
    name = os.path.basename(exe)
    folder = os.path.dirname(os.path.abspath(out))
    os.makedirs(folder, exist_ok=True)
    # Written beside the target, then renamed over it, so a server never sees half of it.
    fd, temp = tempfile.mkstemp(prefix=".update-", suffix=".zip", dir=folder)
    try:
        # A seekable file makes zipfile write the sizes into the local header.
        with os.fdopen(fd, "wb") as raw:
            with zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED) as archive:
                info = zipfile.ZipInfo.from_file(exe, arcname=name)
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(exe, "rb") as source:
                    archive.writestr(info, source.read())
        os.chmod(temp, 0o644)
        os.replace(temp, out)
    except BaseException:
        os.unlink(temp)
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
