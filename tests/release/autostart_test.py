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

bits, exe, recorder, packaging, work, prefix = sys.argv[1:7]
folder = os.path.join(work, "Tom & Jerry's (x) ^!y;,=z")  # the characters that break careless batch files
home = "Z:" + folder.replace("/", "\\")
log = os.path.join(work, "log")
sysdir = os.path.join(prefix, "drive_c/windows", "system32" if bits == "64" else "syswow64")
LAUNCHER = os.path.join(packaging, "..", "cmake", "wine-loader")
TOOLS = ("schtasks.exe", "net.exe", "WindowsPowerShell/v1.0/powershell.exe")
failures = []


def run(line, expected_code, expected_out, **codes):
    """Types one command line in the folder; checks its exit code and output; the recorded calls."""
    shutil.rmtree(log, ignore_errors=True)
    os.makedirs(log)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", SPINDWART_RECORD="Z:" + log.replace("/", "\\"),
               WINEDLLOVERRIDES="mscoree,mshtml=;schtasks.exe,net.exe,powershell.exe=n",
               **{"SPINDWART_RECORD_" + name: str(value) for name, value in codes.items()})
    open(os.path.join(folder, "typed.cmd"), "wb").write(b"@" + line.encode("ascii") + b"\r\n")
    loader = [LAUNCHER, "--64"] if bits == "64" else [LAUNCHER]  # the 32-bit loader would start syswow64's cmd
    done = subprocess.run(loader + ["C:\\windows\\system32\\cmd.exe", "/d", "/c", "typed.cmd"], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    out = [l.strip() for l in done.stdout.decode("latin-1").splitlines() if l.strip()]
    if done.returncode != expected_code or len(out) != 1 or not out[0].startswith(expected_out):
        failures.append(f"{line}: exit {done.returncode}, {out}")
    calls = os.path.join(log, "calls.txt")  # cmd passes the blanks before a redirection on
    return [re.sub(" +[|]", "|", l) for l in open(calls, encoding="latin-1").read().splitlines()] if os.path.exists(calls) else []


def check(condition, what):
    if not condition:
        failures.append(what)


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
        # The names are refused before anything runs; both scripts are the one file.
        for line in ('autostart-install.cmd "/dev/sdb"" & echo INJECTED>marker & "', "autostart-install.cmd /dev/sdq extra",
                     "autostart-remove.cmd /dev/sdb^&echo INJECTED^>marker", "autostart-remove.cmd /dev/scd16"):
            check(not run(line, 2, "Unbekanntes Laufwerk: erwartet /dev/hda bis /dev/hdz") and
                  not os.path.exists(os.path.join(folder, "marker")), f"{line}: something ran")
        calls = run("autostart-install.cmd /dev/sdb", 0, "Spindwart startet jetzt bei jeder Anmeldung mit /dev/sdb "
                    '(Aufgabe "Spindwart V7 _dev_sdb").')
        xml = re.fullmatch(r'SCHTASKS\|"C:\\windows\\System32\\schtasks.exe" /create /tn "Spindwart V7 _dev_sdb" /xml '
                           r'"C:\\(.*\\spindwart-task-\d+\.xml)" /f\|\|', calls[-1])
        check(len(calls) == 2 and calls[0] == 'NET|"C:\\windows\\System32\\net.exe" session||' and xml, f"install: {calls}")
        check(not os.path.exists(os.path.join(prefix, "drive_c", xml[1].replace("\\", "/"))), "the task file stays behind")
        task = open(os.path.join(log, "task.xml"), encoding="utf-8").read()
        for field in (f"<Command><![CDATA[{home}\\spindwart.exe]]></Command>", "<Arguments>/dev/sdb</Arguments>",
                      f"<WorkingDirectory><![CDATA[{home}]]></WorkingDirectory>", "<RunLevel>HighestAvailable</RunLevel>",
                      "<LogonType>InteractiveToken</LogonType>", "<Priority>5</Priority>", "<ExecutionTimeLimit>PT0S<",
                      "<MultipleInstancesPolicy>IgnoreNew<", "<DisallowStartIfOnBatteries>false<", "<StopIfGoingOnBatteries>false<"):
            check(field in task, f"the task file has no {field}")
        calls = run("autostart-remove.cmd /dev/sdb", 0, 'Autostart mit /dev/sdb entfernt (Aufgabe "Spindwart V7 _dev_sdb")')
        check(calls[1:] == ['SCHTASKS|"C:\\windows\\System32\\schtasks.exe" /delete /tn "Spindwart V7 _dev_sdb" /f||'], f"{calls}")
        run("autostart-install.cmd /dev/sdb", 1, "Autostart mit /dev/sdb nicht eingerichtet", EXIT_SCHTASKS=1)
        run("autostart-remove.cmd /dev/sdb", 1, "Kein Autostart mit /dev/sdb entfernt", EXIT_SCHTASKS=1)
        # Without administrator rights the script asks PowerShell for an elevated copy of itself.
        calls = run('autostart-install.cmd "/dev/scd15"', 0, "Spindwart startet jetzt", EXIT_NET=2, ELEVATE=1)
        check([c.split("|")[0] for c in calls] == ["NET", "POWERSHELL", "NET", "SCHTASKS"] and calls[1].endswith(
            f"|{home}\\autostart-install.cmd|/dev/scd15 --elevated"), f"elevation: {calls}")
        run("autostart-install.cmd /dev/sdc", 1, "Nichts geaendert: keine Administratorrechte.", EXIT_NET=2,
            EXIT_POWERSHELL=1223)
        os.remove(os.path.join(folder, "spindwart.exe"))
        check(not run("autostart-install.cmd /dev/sdb", 1, "Nichts eingerichtet: spindwart.exe fehlt"), "ran without it")
    finally:
        for tool in TOOLS:
            saved = os.path.join(work, os.path.basename(tool))
            if os.path.exists(saved):
                shutil.move(saved, os.path.join(sysdir, tool))
            else:
                os.remove(os.path.join(sysdir, tool))
    print("\n".join(failures + [f"{len(failures)} failure(s)"]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
