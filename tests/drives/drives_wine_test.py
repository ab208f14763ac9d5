#!/usr/bin/env python3
"""spindwart-drives.exe under Wine, whose only drive is a virtual disk of 10000 x 255 x 63 x 512
bytes that refuses every pass-through request: one line for /dev/sda, nothing else.

    drives_wine_test.py EXE WINE_RUN
"""
import re
import subprocess
import sys

exe, wine_run = sys.argv[1], sys.argv[2]
failures = []


def run(*args):
    done = subprocess.run([wine_run, exe, *args], capture_output=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


code, out, _ = run()
text = None
for encoding in ("cp437", "cp850"):  # the console's (OEM) code page, not the ANSI one
    try:
        candidate = out.decode(encoding)
    except UnicodeDecodeError:
        continue
    if "Größe" in candidate:
        text = candidate
        break
print(out.decode("latin-1"))
check(text is not None, "the heading reads 'Größe' in the console's code page")
lines = (text or "").split("\r\n")
check(code == 0, f"exit code 0 (got {code})")
check(len(lines) == 3 and lines[2] == "", f"a heading and one drive (got {len(lines) - 1} lines)")
fields = re.split(r"  +", lines[1]) if len(lines) > 1 else []
check(fields[:1] == ["/dev/sda"], "the drive is /dev/sda")
check("82,3 GB" in fields, "its size is Wine's 82,252,800,000 bytes")
check(fields[-1:] == ["kann nicht abgefragt werden (kein Weg trägt den Befehl)"], "no route carries CHECK POWER MODE")

code, out, _ = run("--help")
check(code == 0 and b"spindwart-drives" in out, "--help: the usage, exit 0")
code, out, err = run("/dev/sda")
check(code == 2 and out == b"" and b"spindwart-drives" in err, "an argument: the usage on stderr, exit 2")
sys.exit(1 if failures else 0)
