#!/usr/bin/env bash
# The watch as a service under Wine's service manager, in a prefix of its own: install, the service
# running and its log begun, a second install replacing the first, uninstall (also on every way out).
#   service_test.sh DRIVES_EXE WORK_DIR
set -uo pipefail
exe=$1 work=$2
wine=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-loader
export WINEPREFIX=$work/wine
fail() { echo "FAIL: $*"; failed=1; }
failed=0
rm -rf "$work" && mkdir -p "$work" && "$wine" --init || exit 1
# The service manager gives a service's process 10 s to connect (ServicesPipeTimeout, read when it
# starts); a first start in a new prefix can take longer under Wine.
"$wine" reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_DWORD /d 120000 /f >/dev/null 2>&1
"$wine" --server -k; "$wine" --server -w
# The server again, its output away from this script's: a test runner waits for every holder of its
# pipes. (A second wineboot here leaves services that never start.)
"$wine" --server -p </dev/null >/dev/null 2>&1
# Wine ends its services once no other program of the prefix runs: a console that waits on a pipe
# that this script holds keeps it up, and ends with the script.
mkfifo "$work/keep"
"$wine" cmd <"$work/keep" >/dev/null 2>&1 &
keeper=$!
exec 9>"$work/keep"
trap '"$wine" "$exe" --uninstall >/dev/null 2>&1; exec 9>&-; kill $keeper 2>/dev/null; "$wine" --server -k' EXIT
sc() { "$wine" sc "$@" 2>&1 | tr -d '\r'; }  # Wine's sc knows query, not qc
copy="$WINEPREFIX/drive_c/Program Files/Spindwart/spindwart-drives.exe"

"$wine" "$exe" --help >/dev/null  # a first start of the program in a new prefix is slow
out=$("$wine" "$exe" --install --csv /dev/sda 2>&1)
[ $? -eq 2 ] || fail "--csv: exit 2"
for round in first second; do
  out=$("$wine" "$exe" --install --idle 30 /dev/sda 2>&1 | tr -d '\r')
  [ $? -eq 0 ] && grep -q '^Dienst SpindwartWatch eingerichtet und gestartet' <<<"$out" || fail "$round install: $out"
  config=$("$wine" reg query 'HKLM\System\CurrentControlSet\Services\SpindwartWatch' 2>&1 | tr -d '\r')
  grep -q 'ImagePath *REG_SZ *"C:\\Program Files\\Spindwart\\spindwart-drives.exe" --service --idle 30 /dev/sda$' <<<"$config" &&
    grep -q 'Start *REG_DWORD *0x2$' <<<"$config" && grep -q 'ObjectName *REG_SZ *LocalSystem$' <<<"$config" || fail "$round install: $config"
  for _ in $(seq 50); do state=$(sc query SpindwartWatch); grep -q 'STATE *: 4 *RUNNING' <<<"$state" && break; sleep 0.1; done
  grep -q 'STATE *: 4 *RUNNING' <<<"$state" || fail "$round install: not running: $state"
done
# The log (Wine's %ProgramData% is C:\users\Public or C:\ProgramData): its header, the drive's line.
log=
for _ in $(seq 300); do
  log=$(find "$WINEPREFIX/drive_c" -path '*Spindwart/watch-*.csv' 2>/dev/null | head -1)
  [ -n "$log" ] && grep -q ',/dev/sda,not-asked,' "$log" && break
  sleep 0.1
done
[ -n "$log" ] && [ "$(head -1 "$log")" = $'time,device,event,state,seconds,reads,writes,process,pid,file\r' ] &&
  grep -q ',/dev/sda,not-asked,' "$log" || fail "the log: ${log:-none}"
out=$("$wine" "$exe" --uninstall 2>&1 | tr -d '\r')
[ $? -eq 0 ] && grep -q '^Dienst SpindwartWatch entfernt' <<<"$out" || fail "uninstall: $out"
"$wine" reg query 'HKLM\System\CurrentControlSet\Services\SpindwartWatch' >/dev/null 2>&1 && fail "the service still there"
[ ! -e "$copy" ] && [ ! -e "$(dirname "$copy")" ] || fail "the program's copy or its folder left: $(ls "$(dirname "$copy")")"
# The summary of the stop made it into the log.
grep -q ',/dev/sda,summary,' "$log" || fail "no summary at the stop"
exit $failed
