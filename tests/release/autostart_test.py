#!/usr/bin/env python3
"""Runs autostart-install.cmd and autostart-remove.cmd under Wine's cmd, as typed at a prompt, with
tool_recorder.exe in place of schtasks.exe, net.exe, whoami.exe and powershell.exe (Wine's schtasks keeps
no trigger or action), and whoami's answers of a German and an English Windows (whoami.txt).

  autostart_test.py BITS SPINDWART.EXE RECORDER.EXE PACKAGING_DIR WORK_DIR WINEPREFIX
"""
import os
import shutil
import subprocess
import sys

bits, exe, recorder, packaging, work, prefix = sys.argv[1:7]
folder = os.path.join(work, "Tom & Jerry's (x) ^!y;,=z")  # the characters that break careless batch files
log = os.path.join(work, "log")
sysdir = os.path.join(prefix, "drive_c/windows", "system32" if bits == "64" else "syswow64")
TOOLS = ("schtasks.exe", "net.exe", "whoami.exe", "WindowsPowerShell/v1.0/powershell.exe")
paragraphs = [[l for l in p.split("\n") if l and not l.startswith("#")]
              for p in open(os.path.join(os.path.dirname(__file__), "whoami.txt"), encoding="utf-8").read().split("\n\n")]
WHOAMI = {p[0]: ";".join(p[1:]) for p in paragraphs if p}
programs = "C:\\Program Files" + ("" if bits == "64" else " (x86)") + "\\Spindwart"
programs_dir = os.path.join(prefix, "drive_c", programs[3:].replace("\\", "/"))
failures = []


def run(line, code, out, **codes):
    """Types one command line in the folder; checks its exit code and its one line; the recorded calls."""
    codes.setdefault("OUT_WHOAMI", WHOAMI["de-admin"])
    shutil.rmtree(log, ignore_errors=True)
    os.makedirs(log)
    env = dict(os.environ, WINEPREFIX=prefix, SPINDWART_RECORD="Z:" + log.replace("/", "\\"),
               WINEDLLOVERRIDES="mscoree,mshtml=;schtasks.exe,net.exe,whoami.exe,powershell.exe=n",
               **{"SPINDWART_RECORD_" + name: str(value) for name, value in codes.items()})
    open(os.path.join(folder, "typed.cmd"), "wb").write(b"@" + line.encode("ascii") + b"\r\n")
    loader = [os.path.abspath(os.path.join(packaging, "..", "cmake", "wine-loader"))] + (["--64"] if bits == "64" else [])
    done = subprocess.run(loader + ["C:\\windows\\system32\\cmd.exe", "/d", "/c", "typed.cmd"], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    lines = [l.strip() for l in done.stdout.decode("latin-1").splitlines() if l.strip()]
    if done.returncode != code or len(lines) != 1 or not lines[0].startswith(out):
        failures.append(f"{line}: exit {done.returncode}, {lines}")
    calls = os.path.join(log, "calls.txt")
    return [l.split("|")[0] for l in open(calls, encoding="latin-1")] if os.path.exists(calls) else []


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
        for line in ('autostart-install.cmd "/dev/sdb"" & echo INJECTED>marker & "', "autostart-remove.cmd /dev/scd16"):
            if run(line, 2, "Unbekanntes Laufwerk") or os.path.exists(os.path.join(folder, "marker")):
                failures.append(f"{line}: something ran")
        shutil.rmtree(programs_dir, ignore_errors=True)
        if run("autostart-install.cmd /dev/sdb", 1, "Nichts eingerichtet: das angemeldete Konto ist kein Administrator",
               OUT_WHOAMI=WHOAMI["en-standard"]) != ["WHOAMI", "WHOAMI"] or os.path.exists(programs_dir):
            failures.append("a standard account")
        calls = run("autostart-install.cmd /dev/hdb", 0, 'Spindwart startet jetzt bei jeder Anmeldung mit /dev/hdb '
                    '(Aufgabe "Spindwart V7 PhysicalDrive1").')
        task = open(os.path.join(log, "task.xml"), encoding="utf-8").read() if calls[-1:] == ["SCHTASKS"] else ""
        fields = [f"<Command><![CDATA[{programs}\\spindwart.exe]]></Command>", "<Arguments>/dev/hdb</Arguments>",
                  "<RunLevel>HighestAvailable</RunLevel>", "<Priority>5</Priority>"]
        if task.count("<UserId>S-1-5-21-7-8-9-1001</UserId>") != 2 or not all(f in task for f in fields) or \
                os.listdir(programs_dir) != ["spindwart.exe"]:
            failures.append(f"install: {calls}, the task file:\n{task}")
        open(os.path.join(programs_dir, "spindwart-drives.exe"), "w").close()  # the service's program stays
        calls = run("autostart-remove.cmd /dev/sdb", 0, "Autostart mit /dev/sdb entfernt")
        if calls != ["NET", "SCHTASKS", "SCHTASKS"] or (os.path.exists(programs_dir) and os.listdir(programs_dir)) != ["spindwart-drives.exe"]:
            failures.append(f"remove: {calls}, {os.path.exists(programs_dir) and os.listdir(programs_dir)}")
        # Without administrator rights the script asks PowerShell for an elevated copy of itself, which
        # must run as the signed-in account.
        if "SCHTASKS" in run("autostart-install.cmd /dev/sdc", 1, "Nichts eingerichtet: die Administratorrechte kamen von "
                             "einem anderen Konto", EXIT_NET=2, ELEVATE=1, ELEVATED_WHOAMI=WHOAMI["en-other-admin"]):
            failures.append("another account's elevation made a task")
    finally:
        for tool in TOOLS:
            saved = os.path.join(work, os.path.basename(tool))
            shutil.move(saved, os.path.join(sysdir, tool)) if os.path.exists(saved) else os.remove(os.path.join(sysdir, tool))
    print("\n".join(failures + [f"{len(failures)} failure(s)"]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
