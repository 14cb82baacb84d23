#!/usr/bin/env python3
"""The release archive: made twice from one build it is the same bytes, it
holds the files INSTALL.txt promises, and SHA256SUMS holds for each of
them. Leaves the archive unpacked in WORK/unpacked for the test that loads
the packaged plug-in.

Usage: package_check.py --bin BIN_DIR --work WORK_DIR
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPECTED = ["INSTALL.txt", "SHA256SUMS", "Vardok.dll", "classic-check.cmd", "contacts.txt",
            "vardok-check.exe", "vardok-desk.exe", "vardok-host.exe"]


def package(bin_dir, out):
    result = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "package.py"), "--bin", bin_dir,
                             "--out", out], check=True, capture_output=True, text=True)
    return result.stdout.strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    first = package(args.bin, os.path.join(args.work, "first"))
    second = package(args.bin, os.path.join(args.work, "second"))
    failures = []
    if open(first, "rb").read() != open(second, "rb").read():
        failures.append("two archives from one build differ")
    name = os.path.basename(first)
    if not name.startswith("vardok-") or not name.endswith("-win32.zip"):
        failures.append(f"archive name {name}")

    unpacked = os.path.join(args.work, "unpacked")
    with zipfile.ZipFile(first) as archive:
        names = archive.namelist()
        folder = name[: -len("-win32.zip")]
        if sorted(names) != [f"{folder}/{n}" for n in EXPECTED]:
            failures.append(f"archive holds {names}")
        archive.extractall(unpacked)
    files = os.path.join(unpacked, folder)
    sums = {}
    for line in open(os.path.join(files, "SHA256SUMS"), encoding="ascii"):
        digest, file = line.rstrip("\n").split("  ", 1)
        sums[file] = digest
    for file in EXPECTED:
        if file == "SHA256SUMS":
            continue
        actual = hashlib.sha256(open(os.path.join(files, file), "rb").read()).hexdigest()
        if sums.get(file) != actual:
            failures.append(f"SHA256SUMS does not hold for {file}")
    version = folder[len("vardok-"):]
    install = open(os.path.join(files, "INSTALL.txt"), "rb").read().decode("ascii").split("\r\n")
    if install[0] != f"Vardok {version} for 32-bit Windows":
        failures.append("INSTALL.txt does not name the version")
    if install[1] != "=" * len(install[0]):
        failures.append(f"INSTALL.txt's title underline is {len(install[1])} long for a title of {len(install[0])}")
    # Every text file a Windows user opens has CR LF line endings.
    for text in ("INSTALL.txt", "contacts.txt", "classic-check.cmd"):
        data = open(os.path.join(files, text), "rb").read()
        if data.count(b"\n") != data.count(b"\r\n"):
            failures.append(f"{text} has lines that do not end with CR LF")
    # Dated like the commit they come from, not 1980.
    with zipfile.ZipFile(first) as archive:
        years = {info.date_time[0] for info in archive.infolist()}
    if years == {1980}:
        failures.append("the files are dated 1980")
    for failure in failures:
        print("package:", failure)
    if not failures:
        print(f"package: {name} is reproducible and its sums hold")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
