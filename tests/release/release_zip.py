#!/usr/bin/env python3
"""Checks what a release zip holds: the six files in their order, the batch files as the one script
with CRLF line ends, the guide with a byte order mark and CRLF line ends.
  release_zip.py SOURCE_ROOT ZIP...
"""
import os
import sys
import zipfile

MEMBERS = ["spindwart.exe", "spindwart-drives.exe", "autostart-install.cmd", "autostart-remove.cmd", "LIESMICH.txt", "LICENSE.txt"]


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def main():
    root, zips = sys.argv[1], sys.argv[2:]
    script = crlf(open(os.path.join(root, "packaging/autostart.cmd"), "rb").read())
    guide = b"\xef\xbb\xbf" + crlf(open(os.path.join(root, "packaging/LIESMICH.txt"), "rb").read())
    problems = []
    for path in zips:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
            if names != MEMBERS:
                problems.append(f"{path}: holds {names}")
                continue
            for name in ("autostart-install.cmd", "autostart-remove.cmd"):
                if archive.read(name) != script:
                    problems.append(f"{path}: {name} is not packaging/autostart.cmd with CRLF line ends")
            if archive.read("LIESMICH.txt") != guide:
                problems.append(f"{path}: LIESMICH.txt is not the guide with BOM and CRLF line ends")
            for name in ("spindwart.exe", "spindwart-drives.exe"):
                if not archive.read(name).startswith(b"MZ"):
                    problems.append(f"{path}: {name} is no program")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
