#!/usr/bin/env python3
"""Runs autostart-install.cmd and autostart-remove.cmd under Wine's cmd, as a user would from a prompt.

tool_recorder.exe stands in for schtasks.exe, net.exe and powershell.exe: it shows the exact command
lines, the task file that the script hands to schtasks, and the way through the elevation request.
Wine 8's own schtasks cannot serve: it keeps no trigger or action of a task, and its Schedule service
often fails to start (ERROR_SERVICE_DATABASE_LOCKED, or a time-out in a new prefix).
Names that are no drive are refused before any program runs, so those cases need no stand-in.

  autostart_test.py --bits 64|32 --exe SPINDWART.EXE --recorder RECORDER.EXE --scripts PACKAGING_DIR
                    --work DIR --prefix WINEPREFIX
--bits chooses Wine's 64-bit or 32-bit cmd.exe; recorder and spindwart.exe are built for the same.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
UNKNOWN = ("Unbekanntes Laufwerk: erwartet /dev/hda bis /dev/hdz, /dev/sda bis /dev/sdz oder /dev/scd0 bis "
           "/dev/scd15. - Unknown drive: expected /dev/hda to /dev/hdz, /dev/sda to /dev/sdz or /dev/scd0 to "
           "/dev/scd15.")
NO_RIGHTS = "Nichts geaendert: keine Administratorrechte. - Nothing changed: no administrator rights."
MISSING = ("Nichts eingerichtet: spindwart.exe fehlt neben diesem Skript. - Nothing set up: spindwart.exe is "
           "missing next to this script.")
# Folder names with the characters that break careless batch files (percent signs excepted: Wine's cmd
# expands variables again inside an expanded %~dp0, which Windows does not).
FOLDER = "Tom & Jerry's (x) ^!y;,=z"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def installed(device):
    return (f'Spindwart startet jetzt bei jeder Anmeldung mit {device} (Aufgabe "{task(device)}"). - '
            f'Spindwart now starts at every logon with {device} (task "{task(device)}").')


def removed(device):
    return (f'Autostart mit {device} entfernt (Aufgabe "{task(device)}"). - '
            f'Autostart with {device} removed (task "{task(device)}").')


def not_installed(device):
    return (f"Autostart mit {device} nicht eingerichtet: schtasks meldet einen Fehler. - "
            f"Autostart with {device} not set up: schtasks reported an error.")


def not_removed(device):
    return (f'Kein Autostart mit {device} entfernt: keine Aufgabe "{task(device)}"? - '
            f'No autostart with {device} removed: no task "{task(device)}"?')


def task(device):
    return "Spindwart V7 " + device.replace("/", "_")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Wine:
    def __init__(self, bits, prefix):
        # "wine" runs Wine's built-in programs, cmd.exe among them, as 32-bit ones.
        self.loader = "wine"
        if bits == "64":
            self.loader = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.cmd = "C:\\windows\\system32\\cmd.exe"
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")

    def run(self, folder, line, extra_env=None):
        """Runs one command line, as typed at a prompt in folder; returns (exit code, output lines)."""
        with open(os.path.join(folder, "typed.cmd"), "wb") as f:
            f.write(b"@" + line.encode("ascii") + b"\r\n")
        env = dict(self.env, **(extra_env or {}))
        done = subprocess.run([self.loader, self.cmd, "/d", "/c", "typed.cmd"], cwd=folder, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        os.remove(os.path.join(folder, "typed.cmd"))
        lines = [l.strip() for l in done.stdout.decode("latin-1").splitlines() if l.strip()]
        if done.returncode != 0 and done.stderr.strip():
            print(f"({line}: {done.stderr.decode('latin-1').strip()})")
        return done.returncode, lines

    def echo(self, text):
        done = subprocess.run([self.loader, self.cmd, "/d", "/c", "echo " + text], env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        return done.stdout.decode("latin-1").strip()


def refused_names(wine, folder, rec):
    # Names that are not drives, typed the ways a prompt passes them on: each is refused before any
    # program runs, and nothing of it ever runs as a command.
    marker = os.path.join(folder, "marker")
    for arguments in ('"/dev/s b"', '"/dev/sdb"" & echo INJECTED>marker & "', "/dev/sdb^&echo INJECTED^>marker",
                      '"/dev/sdb & echo INJECTED>marker"', '"/dev/sdb" "/dev/sdc"', "/dev/sdb extra",
                      "/dev/scd16", "/dev/scd01", "/DEV/SDB", "sdb", "/dev/sd", "/dev/sdbb", "--remove"):
        for script in ("autostart-install.cmd", "autostart-remove.cmd"):
            code, out = wine.run(folder, f"{script} {arguments}", rec.env())
            check(code == 2 and out == [UNKNOWN] and rec.calls() == [], f"{script} {arguments}: {code} {out} {rec.calls()}")
            check(not os.path.exists(marker) and not any("INJECTED" in l for l in out),
                  f"{script} {arguments}: ran a command from the drive name")
            if os.path.exists(marker):
                os.remove(marker)

    lone = os.path.join(os.path.dirname(folder), "scripts only")
    os.makedirs(lone, exist_ok=True)
    for name in ("autostart-install.cmd", "autostart-remove.cmd"):
        shutil.copy(os.path.join(folder, name), lone)
    code, out = wine.run(lone, "autostart-install.cmd /dev/sdb", rec.env())
    check(code == 1 and out == [MISSING] and rec.calls() == [], f"install without spindwart.exe: {code} {out}")


class Recorder:
    """tool_recorder.exe in place of schtasks.exe, net.exe and powershell.exe, put back afterwards."""
    TOOLS = ("schtasks.exe", "net.exe", "WindowsPowerShell/v1.0/powershell.exe")

    def __init__(self, sysdir, recorder, log):
        self.sysdir, self.recorder, self.log = sysdir, recorder, log
        self.saved = {}

    def __enter__(self):
        try:
            self.put_in()
        except BaseException:
            self.__exit__()
            raise
        return self

    def put_in(self):
        for tool in self.TOOLS:
            path = os.path.join(self.sysdir, tool)
            if os.path.exists(path):
                self.saved[path] = path + ".spindwart-test"
                shutil.copy2(path, self.saved[path])
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy(self.recorder, path)

    def __exit__(self, *_):
        for tool in self.TOOLS:
            path = os.path.join(self.sysdir, tool)
            if path in self.saved:
                if os.path.exists(self.saved[path]):
                    shutil.move(self.saved[path], path)
            elif os.path.exists(path):
                os.remove(path)
        shutil.rmtree(os.path.join(self.sysdir, "WindowsPowerShell"), ignore_errors=True)

    def env(self, **codes):
        shutil.rmtree(self.log, ignore_errors=True)
        os.makedirs(self.log)
        env = {"SPINDWART_RECORD": windows_path(self.log),
               "WINEDLLOVERRIDES": "mscoree,mshtml=;schtasks.exe,net.exe,powershell.exe=n"}
        for name, value in codes.items():
            env["SPINDWART_RECORD_" + name] = str(value)
        return env

    def calls(self):
        path = os.path.join(self.log, "calls.txt")
        if not os.path.exists(path):
            return []
        # cmd passes the blanks before a redirection on as part of the command line.
        return [[part.rstrip() for part in l.split("|")] for l in open(path, encoding="utf-8").read().splitlines()]

    def task_file(self, n=1):
        return os.path.join(self.log, f"task-{n}.xml")


def check_task_file(path, device, folder, user):
    what = f"task file for {device}"
    if not os.path.exists(path):
        check(False, f"{what}: schtasks got no task file")
        return
    data = open(path, "rb").read()
    check(data.startswith(b'<?xml version="1.0" encoding="UTF-8"?>\r\n'), f"{what}: declaration {data[:60]!r}")
    root = ET.fromstring(data)

    def text(xpath):
        node = root.find(xpath, NS)
        return None if node is None else node.text

    exe_folder = windows_path(folder)
    expected = {
        "t:Triggers/t:LogonTrigger/t:Enabled": "true",
        "t:Triggers/t:LogonTrigger/t:UserId": user,
        "t:Principals/t:Principal/t:UserId": user,
        "t:Principals/t:Principal/t:LogonType": "InteractiveToken",
        "t:Principals/t:Principal/t:RunLevel": "HighestAvailable",
        "t:Settings/t:DisallowStartIfOnBatteries": "false",
        "t:Settings/t:StopIfGoingOnBatteries": "false",
        "t:Settings/t:RunOnlyIfIdle": "false",
        "t:Settings/t:IdleSettings/t:StopOnIdleEnd": "false",
        "t:Settings/t:ExecutionTimeLimit": "PT0S",
        "t:Settings/t:Enabled": "true",
        "t:Settings/t:MultipleInstancesPolicy": "IgnoreNew",
        "t:Settings/t:Priority": "5",
        "t:Actions/t:Exec/t:Command": exe_folder + "\\spindwart.exe",
        "t:Actions/t:Exec/t:Arguments": device,
        "t:Actions/t:Exec/t:WorkingDirectory": exe_folder,
    }
    for xpath, value in expected.items():
        check(text(xpath) == value, f"{what}: {xpath} is {text(xpath)!r}, not {value!r}")
    check(len(root.findall("t:Actions/t:Exec", NS)) == 1 and len(root.findall("t:Triggers/*", NS)) == 1,
          f"{what}: one trigger and one action")


def recorded(wine, folder, rec):
    schtasks = '"C:\\windows\\System32\\schtasks.exe"'
    net = ['NET', '"C:\\windows\\System32\\net.exe" session']
    user = wine.echo("%USERDOMAIN%\\%USERNAME%")
    temp = re.escape(wine.echo("%TEMP%"))
    code, out = wine.run(folder, "autostart-install.cmd /dev/sdb", rec.env())
    calls = rec.calls()
    check(code == 0 and out == [installed("/dev/sdb")], f"install, recorded: {code} {out}")
    check(len(calls) == 2 and calls[0] == net, f"install asks net first: {calls}")
    xml = None
    if len(calls) == 2:
        match = re.fullmatch(schtasks.replace("\\", "\\\\") + r' /create /tn "Spindwart V7 _dev_sdb" /xml "(' +
                             temp + r'\\spindwart-task-\d+\.xml)" /f', calls[1][1])
        check(calls[1][0] == "SCHTASKS" and match is not None, f"schtasks command line: {calls[1]}")
        xml = match and match.group(1)
    check_task_file(rec.task_file(), "/dev/sdb", folder, user)
    if xml:
        leftover = os.path.join(wine.prefix, "drive_c", xml[3:].replace("\\", "/"))
        check(not os.path.exists(leftover), f"the task file stays behind: {leftover}")

    code, out = wine.run(folder, "autostart-install.cmd /dev/sdb", rec.env(EXIT_SCHTASKS=1))
    check(code == 1 and out == [not_installed("/dev/sdb")], f"schtasks fails: {code} {out}")
    code, out = wine.run(folder, "autostart-remove.cmd /dev/sdb", rec.env(EXIT_SCHTASKS=1))
    check(code == 1 and out == [not_removed("/dev/sdb")], f"schtasks finds no task: {code} {out}")

    # No drive given is /dev/hda; a quoted name is the name.
    for line, device in (("autostart-install.cmd", "/dev/hda"), ('autostart-install.cmd "/dev/scd15"', "/dev/scd15")):
        code, out = wine.run(folder, line, rec.env())
        check(code == 0 and out == [installed(device)], f"{line}, recorded: {code} {out}")
        check(len(rec.calls()) == 2 and f'/create /tn "{task(device)}" /xml' in rec.calls()[-1][1],
              f"{line}: {rec.calls()}")
        check_task_file(rec.task_file(), device, folder, user)

    code, out = wine.run(folder, "autostart-remove.cmd /dev/sdb", rec.env())
    check(code == 0 and out == [removed("/dev/sdb")], f"remove, recorded: {code} {out}")
    check(rec.calls() == [net, ["SCHTASKS", schtasks + ' /delete /tn "Spindwart V7 _dev_sdb" /f']],
          f"remove command lines: {rec.calls()}")

    # Without administrator rights: the script asks PowerShell to start an elevated copy of itself
    # with the checked drive name, and reports how that copy did.
    powershell = ('"C:\\windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe" -NoLogo -NoProfile '
                  '-NonInteractive -ExecutionPolicy Bypass -Command "try { $p = Start-Process -FilePath '
                  '($env:SystemRoot + \'\\System32\\cmd.exe\') -ArgumentList (\'/d /c \\"\\"\' + '
                  '$env:SPINDWART_SELF + \'\\" \' + $env:SPINDWART_ARGS + \'\\"\') -Verb RunAs -Wait -PassThru; '
                  'exit $p.ExitCode } catch { exit 1223 }"')
    for script, mode, device in (("autostart-install.cmd", "install", "/dev/sdc"),
                                 ("autostart-remove.cmd", "remove", "/dev/sdc")):
        code, out = wine.run(folder, f"{script} {device}", rec.env(EXIT_NET=2, ELEVATE=1))
        calls = rec.calls()
        want = installed(device) if mode == "install" else removed(device)
        check(code == 0 and out == [want], f"{script} elevated: {code} {out}")
        check(len(calls) == 4 and calls[0] == net and calls[2] == net, f"{script} elevated: {calls}")
        elevated = open(os.path.join(rec.log, "elevated.txt"), encoding="latin-1").read().split("\n")
        check([l.strip() for l in elevated if l.strip()] == [want], f"{script}: the elevated copy says {elevated}")
        if len(calls) == 4:
            self_path = "SPINDWART_SELF=" + windows_path(folder) + "\\" + script
            check(calls[1] == ["POWERSHELL", powershell, self_path, f"SPINDWART_ARGS={device} --elevated"],
                  f"{script}: elevation request {calls[1]}")
            check(calls[3][0] == "SCHTASKS" and f'/{"create" if mode == "install" else "delete"} /tn '
                  f'"{task(device)}"' in calls[3][1], f"{script}: the elevated copy's schtasks {calls[3]}")
        if mode == "install":
            check_task_file(rec.task_file(), device, folder, user)

    for extra, what in (({"EXIT_POWERSHELL": 1223}, "elevation refused"), ({"EXIT_POWERSHELL": 9009}, "no PowerShell")):
        code, out = wine.run(folder, "autostart-install.cmd /dev/sdc", rec.env(EXIT_NET=2, **extra))
        check(code == 1 and out == [NO_RIGHTS], f"{what}: {code} {out}")
        check([c[0] for c in rec.calls()] == ["NET", "POWERSHELL"], f"{what}: {rec.calls()}")
    code, out = wine.run(folder, "autostart-install.cmd /dev/sdc", rec.env(EXIT_NET=2, EXIT_POWERSHELL=1))
    check(code == 1 and out == [not_installed("/dev/sdc")], f"the elevated copy fails: {code} {out}")


def main():
    parser = argparse.ArgumentParser()
    for name in ("bits", "exe", "recorder", "scripts", "work", "prefix"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    for name in ("exe", "recorder", "scripts", "work", "prefix"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    prefix = os.path.abspath(os.environ.get("WINEPREFIX") or args.prefix)
    # What a 32-bit program sees as C:\windows\System32 is syswow64 in a 64-bit prefix.
    sysdir = os.path.join(prefix, "drive_c/windows", "system32" if args.bits == "64" else "syswow64")
    if not os.path.exists(os.path.join(sysdir, "cmd.exe")):
        subprocess.run(["wineboot", "-i"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)

    shutil.rmtree(args.work, ignore_errors=True)
    folder = os.path.join(args.work, FOLDER)
    os.makedirs(folder)
    # The release carries the one script under both names, with CRLF line ends.
    text = open(os.path.join(args.scripts, "autostart.cmd"), "rb").read()
    check(all(b < 0x80 for b in text), "the script is ASCII, so that every code page reads it alike")
    for name in ("autostart-install.cmd", "autostart-remove.cmd"):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text.replace(b"\n", b"\r\n"))
    shutil.copy(args.exe, os.path.join(folder, "spindwart.exe"))

    wine = Wine(args.bits, prefix)
    with Recorder(sysdir, args.recorder, os.path.join(args.work, "calls")) as rec:
        refused_names(wine, folder, rec)
        recorded(wine, folder, rec)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
