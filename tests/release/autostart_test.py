#!/usr/bin/env python3
"""Runs autostart-install.cmd and autostart-remove.cmd under Wine's cmd, as typed at a prompt, with
tool_recorder.exe in place of schtasks.exe, net.exe and powershell.exe (Wine's own schtasks keeps no
trigger or action, and its Schedule service often does not start in a new prefix).

  autostart_test.py BITS SPINDWART.EXE RECORDER.EXE PACKAGING_DIR WORK_DIR WINEPREFIX
"""
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

bits, exe, recorder, packaging, work, prefix = sys.argv[1:7]
# Folder names with the characters that break careless batch files.
folder = os.path.join(work, "Tom & Jerry's (x) ^!y;,=z")
log = os.path.join(work, "log")
loader = (shutil.which("wine64") or "/usr/lib/wine/wine64") if bits == "64" else "wine"
sysdir = os.path.join(prefix, "drive_c/windows", "system32" if bits == "64" else "syswow64")
TOOLS = ("schtasks.exe", "net.exe", "WindowsPowerShell/v1.0/powershell.exe")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def run(line, **codes):
    """One command line typed in the folder; the exit code, the output lines and the recorded calls."""
    shutil.rmtree(log, ignore_errors=True)
    os.makedirs(log)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", SPINDWART_RECORD="Z:" + log.replace("/", "\\"),
               WINEDLLOVERRIDES="mscoree,mshtml=;schtasks.exe,net.exe,powershell.exe=n")
    env.update({"SPINDWART_RECORD_" + name: str(value) for name, value in codes.items()})
    with open(os.path.join(folder, "typed.cmd"), "wb") as f:
        f.write(b"@" + line.encode("ascii") + b"\r\n")
    done = subprocess.run([loader, "C:\\windows\\system32\\cmd.exe", "/d", "/c", "typed.cmd"], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    calls = os.path.join(log, "calls.txt")
    if not os.path.exists(calls):
        return done.returncode, [l.strip() for l in done.stdout.decode("latin-1").splitlines() if l.strip()], []
    # cmd passes the blanks before a redirection on as part of the command line.
    calls = [[part.rstrip() for part in l.split("|")] for l in open(calls, encoding="latin-1").read().splitlines()]
    return done.returncode, [l.strip() for l in done.stdout.decode("latin-1").splitlines() if l.strip()], calls


def said(device, install=True, ok=True):
    task = "Spindwart V7 " + device.replace("/", "_")
    return {(True, True): f'Spindwart startet jetzt bei jeder Anmeldung mit {device} (Aufgabe "{task}"). - '
                          f'Spindwart now starts at every logon with {device} (task "{task}").',
            (False, True): f'Autostart mit {device} entfernt (Aufgabe "{task}"). - Autostart with {device} removed '
                           f'(task "{task}").',
            (True, False): f"Autostart mit {device} nicht eingerichtet: schtasks meldet einen Fehler. - Autostart "
                           f"with {device} not set up: schtasks reported an error.",
            (False, False): f'Kein Autostart mit {device} entfernt: keine Aufgabe "{task}"? - No autostart with '
                            f'{device} removed: no task "{task}"?'}[(install, ok)]


def check_task(device):
    root = ET.parse(os.path.join(log, "task.xml")).getroot()
    values = {re.sub(r"\{.*?\}", "", node.tag): node.text for node in root.iter()}
    home = "Z:" + folder.replace("/", "\\")
    for field, value in (("Command", home + "\\spindwart.exe"), ("Arguments", device), ("WorkingDirectory", home),
                         ("RunLevel", "HighestAvailable"), ("LogonType", "InteractiveToken"), ("Priority", "5"),
                         ("ExecutionTimeLimit", "PT0S"), ("MultipleInstancesPolicy", "IgnoreNew"),
                         ("DisallowStartIfOnBatteries", "false"), ("StopIfGoingOnBatteries", "false")):
        check(values.get(field) == value, f"task for {device}: {field} is {values.get(field)!r}, not {value!r}")


def main():
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(folder)
    script = open(os.path.join(packaging, "autostart.cmd"), "rb").read().replace(b"\n", b"\r\n")
    for name in ("autostart-install.cmd", "autostart-remove.cmd"):
        open(os.path.join(folder, name), "wb").write(script)
    shutil.copy(exe, os.path.join(folder, "spindwart.exe"))
    for tool in TOOLS:
        if os.path.exists(os.path.join(sysdir, tool)):
            shutil.copy2(os.path.join(sysdir, tool), os.path.join(work, os.path.basename(tool)))
        os.makedirs(os.path.dirname(os.path.join(sysdir, tool)), exist_ok=True)
        shutil.copy(recorder, os.path.join(sysdir, tool))
    try:
        unknown = run("autostart-install.cmd /dev/sdq extra")[1]
        check(unknown[0].startswith("Unbekanntes Laufwerk: erwartet /dev/hda bis /dev/hdz"), f"unknown: {unknown}")
        # Both scripts are the one file: the names are refused before the mode counts.
        for name, arguments in (("autostart-install.cmd", '"/dev/sdb"" & echo INJECTED>marker & "'),
                                ("autostart-remove.cmd", "/dev/sdb^&echo INJECTED^>marker"),
                                ("autostart-install.cmd", "/dev/scd16"), ("autostart-remove.cmd", "sdb")):
            code, out, calls = run(f"{name} {arguments}")
            check(code == 2 and out == unknown and len(out) == 1 and not calls, f"{name} {arguments}: {code} {out}")
            check(not os.path.exists(os.path.join(folder, "marker")), f"{name} {arguments}: ran a command")
        net = ["NET", '"C:\\windows\\System32\\net.exe" session', "", ""]
        code, out, calls = run("autostart-install.cmd /dev/sdb")
        check(code == 0 and out == [said("/dev/sdb")] and len(calls) == 2 and calls[0] == net, f"install: {code} {out} {calls}")
        check(re.fullmatch(r'"C:\\windows\\System32\\schtasks.exe" /create /tn "Spindwart V7 _dev_sdb" /xml '
                           r'"C:\\.*\\spindwart-task-\d+\.xml" /f', calls[-1][1]) is not None, f"schtasks: {calls[-1]}")
        check(not os.path.exists(os.path.join(prefix, "drive_c", calls[-1][1].split('"')[5][3:].replace("\\", "/"))),
              "the task file stays behind")
        check_task("/dev/sdb")
        code, out, calls = run("autostart-remove.cmd /dev/sdb")
        check(code == 0 and out == [said("/dev/sdb", False)] and calls[1][1] ==
              '"C:\\windows\\System32\\schtasks.exe" /delete /tn "Spindwart V7 _dev_sdb" /f', f"remove: {out} {calls}")
        for name, install in (("autostart-install.cmd", True), ("autostart-remove.cmd", False)):
            code, out, _ = run(f"{name} /dev/sdb", EXIT_SCHTASKS=1)
            check(code == 1 and out == [said("/dev/sdb", install, False)], f"{name}, schtasks fails: {code} {out}")
        # Without administrator rights the script asks PowerShell for an elevated copy of itself.
        code, out, calls = run('autostart-install.cmd "/dev/scd15"', EXIT_NET=2, ELEVATE=1)
        elevated = [l.strip() for l in open(os.path.join(log, "elevated.txt"), encoding="latin-1") if l.strip()]
        check(code == 0 and out == elevated == [said("/dev/scd15")], f"elevated: {code} {out} {elevated}")
        check([c[0] for c in calls] == ["NET", "POWERSHELL", "NET", "SCHTASKS"] and
              calls[1][2:] == ["Z:" + folder.replace("/", "\\") + "\\autostart-install.cmd", "/dev/scd15 --elevated"],
              f"elevation request: {calls}")
        check_task("/dev/scd15")
        code, out, _ = run("autostart-install.cmd /dev/sdc", EXIT_NET=2, EXIT_POWERSHELL=1223)
        check(code == 1 and out == ["Nichts geaendert: keine Administratorrechte. - Nothing changed: no administrator "
                                    "rights."], f"elevation refused: {code} {out}")
        os.remove(os.path.join(folder, "spindwart.exe"))
        code, out, calls = run("autostart-install.cmd /dev/sdb")
        check(code == 1 and "spindwart.exe" in out[0] and not calls, f"without spindwart.exe: {code} {out}")
    finally:
        for tool in TOOLS:
            saved = os.path.join(work, os.path.basename(tool))
            if os.path.exists(saved):
                shutil.move(saved, os.path.join(sysdir, tool))
            else:
                os.remove(os.path.join(sysdir, tool))
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
