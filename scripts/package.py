#!/usr/bin/env python3
"""Writes the release archive from a built bin folder.

Usage: package.py --bin BIN_DIR --out OUT_DIR [--strip TOOL]

The archive is OUT_DIR/vardok-VERSION-win32.zip, VERSION read from
Vardok.dll's version resource. It holds one folder vardok-VERSION with the
stripped binaries, INSTALL.txt, the example contact list, the example
check script and SHA256SUMS. The same inputs give the same bytes: files
are written in a fixed order with a fixed time and fixed attributes.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BINARIES = ["Vardok.dll", "vardok-check.exe", "vardok-desk.exe", "vardok-host.exe"]
# Files are dated with the time of the commit they were built from (a
# fixed date of 1980 made file-age checks of them report 17,000 days), or,
# outside a checkout, SOURCE_DATE_EPOCH, or 1980.


def fixed_time():
    try:
        stamp = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"], check=True,
                               capture_output=True, text=True).stdout.strip()
        seconds = int(stamp)
    except (OSError, subprocess.CalledProcessError, ValueError):
        seconds = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    # Zip times are local times with two-second steps; the commit's UTC time is used as it stands.
    moment = time.gmtime(max(seconds, 315532800))
    return (moment.tm_year, moment.tm_mon, moment.tm_mday, moment.tm_hour, moment.tm_min, moment.tm_sec - moment.tm_sec % 2)


def crlf(data):
    """A text file as Windows users open it: every line ends with CR LF."""
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def dll_version(path):
    """FILEVERSION of the version resource: "1.3.2" (a trailing .0 dropped)."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        sys.exit(f"package: no version resource in {path}")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    parts = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    if parts[3] == 0:
        parts.pop()
    return ".".join(str(p) for p in parts)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--strip", default="i686-w64-mingw32-strip")
    args = parser.parse_args()

    version = dll_version(os.path.join(args.bin, "Vardok.dll"))
    folder = f"vardok-{version}"
    with tempfile.TemporaryDirectory() as stage:
        files = {}
        for name in BINARIES:
            target = os.path.join(stage, name)
            shutil.copyfile(os.path.join(args.bin, name), target)
            # strip writes the time into the PE header unless told a fixed one.
            subprocess.run([args.strip, "--strip-all", target], check=True,
                           env=dict(os.environ, SOURCE_DATE_EPOCH="0"))
            files[name] = open(target, "rb").read()
        install = open(os.path.join(ROOT, "packaging", "INSTALL.txt"), encoding="utf-8").read().split("\n")
        # The title, with its underline as long as the version makes it.
        install[0] = install[0].replace("VERSION", version, 1)
        install[1] = "=" * len(install[0])
        files["INSTALL.txt"] = crlf("\n".join(install).encode("ascii"))
        files["contacts.txt"] = crlf(open(os.path.join(ROOT, "examples", "contacts.txt"), "rb").read())
        files["classic-check.cmd"] = crlf(open(os.path.join(ROOT, "examples", "classic-check.cmd"), "rb").read())
        # Windows tools read the sums in the format sha256sum writes.
        sums = "".join(f"{hashlib.sha256(files[n]).hexdigest()}  {n}\n" for n in sorted(files))
        files["SHA256SUMS"] = sums.encode("ascii")

    os.makedirs(args.out, exist_ok=True)
    archive = os.path.join(args.out, f"vardok-{version}-win32.zip")
    partial = archive + ".part"
    when = fixed_time()
    with zipfile.ZipFile(partial, "w") as out:
        for name in sorted(files):
            info = zipfile.ZipInfo(f"{folder}/{name}", when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0x20  # archive bit only
            out.writestr(info, files[name], compresslevel=9)
    os.replace(partial, archive)
    print(archive)


if __name__ == "__main__":
    main()
