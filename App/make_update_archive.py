#!/usr/bin/env python3
"""Writes the self-updater's signed archive:

    make_update_archive.py --sign-tool TOOL --key KEYFILE --build-stamp STAMP EXE OUT.zip

The archive holds EXE deflated at its root under its own file name and, stored beside it,
"<name>.sig": EXE's signature for build STAMP made with KEYFILE by TOOL
(palvor-update-sign). No archive comment, sizes in the local headers (no data descriptor),
which is what the updater reads through HTTP range requests.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import zipfile


def main(argv):
    parser = argparse.ArgumentParser(description="Writes the signed update archive.")
    parser.add_argument("--sign-tool", required=True, help="palvor-update-sign")
    parser.add_argument("--key", required=True, help="secret key file that signs EXE")
    parser.add_argument("--build-stamp", required=True, help="EXE's build stamp")
    parser.add_argument("exe")
    parser.add_argument("out")
    args = parser.parse_args(argv[1:])
    name = os.path.basename(args.exe)
    folder = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(folder, exist_ok=True)
    # A sanitizer build's leak report must not end the signing tool's run.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    with tempfile.TemporaryDirectory() as work:
        sig = os.path.join(work, name + ".sig")
        subprocess.run([args.sign_tool, "sign", args.key, args.build_stamp, args.exe, sig],
                       check=True, env=env)
        with open(sig, "rb") as source:
            signature = source.read()
    # Written beside the target, then renamed over it, so a server never sees half of it.
    fd, temp = tempfile.mkstemp(prefix=".update-", suffix=".zip", dir=folder)
    try:
        # A seekable file makes zipfile write the sizes into the local header.
        with os.fdopen(fd, "wb") as raw:
            with zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED) as archive:
                info = zipfile.ZipInfo.from_file(args.exe, arcname=name)
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(args.exe, "rb") as source:
                    archive.writestr(info, source.read())
                sig_info = zipfile.ZipInfo(name + ".sig", date_time=info.date_time)
                sig_info.compress_type = zipfile.ZIP_STORED
                sig_info.external_attr = 0o644 << 16
                archive.writestr(sig_info, signature)
        os.chmod(temp, 0o644)
        os.replace(temp, args.out)
    except BaseException:
        os.unlink(temp)
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
