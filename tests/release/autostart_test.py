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
LAUNCHER = os.path.abspath(os.path.join(packaging, "..", "cmake", "wine-loader"))
TOOLS = ("schtasks.exe", "net.exe", "whoami.exe", "WindowsPowerShell/v1.0/powershell.exe")
ADMIN = "User Name: WINE\\tom;SID: S-1-5-21-7-8-9-1001;Group Name: BUILTIN\\Administrators;SID: S-1-5-32-544"
STANDARD = "User Name: WINE\\tom;SID: S-1-5-21-7-8-9-1001;Group Name: BUILTIN\\Users;SID: S-1-5-32-545"
# The protected folder that the 64-bit or the 32-bit cmd calls %ProgramFiles%.
programs = "C:\\Program Files" + ("" if bits == "64" else " (x86)") + "\\Spindwart"
programs_dir = os.path.join(prefix, "drive_c", programs[3:].replace("\\", "/"))
failures = []


def run(line, expected_code, expected_out, **codes):
    """Types one command line in the folder, as an administrator unless OUT_WHOAMI says otherwise; checks
    its exit code and output; the recorded calls."""
    codes.setdefault("OUT_WHOAMI", ADMIN)
    shutil.rmtree(log, ignore_errors=True)
    os.makedirs(log)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", SPINDWART_RECORD="Z:" + log.replace("/", "\\"),
               WINEDLLOVERRIDES="mscoree,mshtml=;schtasks.exe,net.exe,whoami.exe,powershell.exe=n",
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
        shutil.rmtree(programs_dir, ignore_errors=True)
        whoami = 'WHOAMI|C:\\windows\\System32\\whoami.exe /user /groups /fo list||'  # Wine's for /f drops the quotes
        check(run("autostart-install.cmd /dev/sdb", 1, "Nichts eingerichtet: das angemeldete Konto ist kein Administrator",
                  OUT_WHOAMI=STANDARD) == [whoami] and not os.path.exists(programs_dir), "a standard account")
        for device in ("/dev/sdb", "/dev/hdb"):  # one drive, one task
            calls = run(f"autostart-install.cmd {device}", 0, f"Spindwart startet jetzt bei jeder Anmeldung mit {device} "
                        '(Aufgabe "Spindwart V7 PhysicalDrive1").')
        xml = re.fullmatch(r'SCHTASKS\|"C:\\windows\\System32\\schtasks.exe" /create /tn "Spindwart V7 PhysicalDrive1" /xml '
                           rf'"{re.escape(programs)}\\spindwart-task-\d+\.xml" /f\|\|', calls[-1] if calls else "")
        check(calls[:2] == [whoami, 'NET|"C:\\windows\\System32\\net.exe" session||'] and len(calls) == 3 and xml, f"install: {calls}")
        copied = os.path.join(programs_dir, "spindwart.exe")
        check(os.path.isfile(copied) and os.listdir(programs_dir) == ["spindwart.exe"] and
              open(copied, "rb").read() == open(exe, "rb").read(), "the copy alone in the protected folder")
        task = open(os.path.join(log, "task.xml"), encoding="utf-8").read()
        for field in (f"<Command><![CDATA[{programs}\\spindwart.exe]]></Command>", "<Arguments>/dev/hdb</Arguments>",
                      f"<WorkingDirectory><![CDATA[{programs}]]></WorkingDirectory>", "<RunLevel>HighestAvailable</RunLevel>",
                      "<LogonType>InteractiveToken</LogonType>", "<Priority>5</Priority>", "<ExecutionTimeLimit>PT0S<",
                      "<MultipleInstancesPolicy>IgnoreNew<", "<DisallowStartIfOnBatteries>false<", "<StopIfGoingOnBatteries>false<"):
            check(field in task, f"the task file has no {field}")
        calls = run("autostart-remove.cmd /dev/sdb", 0, 'Autostart mit /dev/sdb entfernt (Aufgabe "Spindwart V7 PhysicalDrive1")')
        check(calls[1:] == ['SCHTASKS|"C:\\windows\\System32\\schtasks.exe" /delete /tn "Spindwart V7 PhysicalDrive1" /f||',
                            'SCHTASKS|"C:\\windows\\System32\\schtasks.exe" /query /fo csv /nh||'], f"{calls}")
        check(not os.path.exists(programs_dir), "remove leaves the copy behind")
        run("autostart-install.cmd /dev/sdb", 1, "Autostart mit /dev/sdb nicht eingerichtet", EXIT_SCHTASKS=1)
        run("autostart-remove.cmd /dev/sdb", 1, "Kein Autostart mit /dev/sdb entfernt", EXIT_SCHTASKS=1)
        # Without administrator rights the script asks PowerShell for an elevated copy of itself, which must
        # run as the signed-in account.
        calls = run('autostart-install.cmd "/dev/scd15"', 0, "Spindwart startet jetzt", EXIT_NET=2, ELEVATE=1)
        check([c.split("|")[0] for c in calls] == ["WHOAMI", "NET", "POWERSHELL", "WHOAMI", "NET", "SCHTASKS"] and calls[2].endswith(
            f"|{home}\\autostart-install.cmd|/dev/scd15 --elevated S-1-5-21-7-8-9-1001"), f"elevation: {calls}")
        other = ADMIN.replace("1001", "500")
        calls = run("autostart-install.cmd /dev/sdc", 1, "Nichts eingerichtet: die Administratorrechte kamen von einem anderen Konto",
                    EXIT_NET=2, ELEVATE=1, ELEVATED_WHOAMI=other)
        check("SCHTASKS" not in [c.split("|")[0] for c in calls], f"another account's elevation: {calls}")
        run("autostart-install.cmd /dev/sdc", 1, "Nichts geaendert: keine Administratorrechte.", EXIT_NET=2,
            EXIT_POWERSHELL=1223)
        run("autostart-remove.cmd /dev/scd15", 0, "Autostart mit /dev/scd15 entfernt")
        os.remove(os.path.join(folder, "spindwart.exe"))
        check(run("autostart-install.cmd /dev/sdb", 1, "Nichts eingerichtet: spindwart.exe fehlt") == [whoami], "ran without it")
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
