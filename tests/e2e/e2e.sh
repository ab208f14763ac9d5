#!/usr/bin/env bash
# The real programs under Wine. spindwart.exe runs in a virtual desktop with a taskbar, driven by
# the probe; spindwart-drives.exe lists Wine's one drive.
#   e2e.sh SPINDWART_EXE DRIVES_EXE PROBE_EXE WORK_DIR    (needs DISPLAY and WINEPREFIX)
set -uo pipefail
exe=$1 drives=$2 probe=$3 work=$4
wine=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-loader
mkdir -p "$work"
report="$work/report.txt" ready="$work/ready"
rm -f "$report" "$ready" "$work"/*.png
fail() { echo "FAIL: $*"; failed=1; }
failed=0

# Wine's virtual disk of 10000 x 255 x 63 x 512 bytes refuses every pass-through request. The list
# comes in the console's (OEM) code page; an argument is refused with the usage on stderr.
list=$("$wine" "$drives" | iconv -f cp437 -t utf-8) || fail "spindwart-drives: exit $?"
echo "$list"
grep -q $'^Name  *Bus  *Größe' <<<"$list" || fail "heading"
[ "$(grep -c . <<<"$list")" -eq 2 ] || fail "one drive"
grep -q $'^/dev/sda  .*  82,3 GB  .*  kann nicht abgefragt werden (kein Weg trägt den Befehl)\r$' <<<"$list" || fail "/dev/sda"
"$wine" "$drives" --help | grep -q spindwart-drives || fail "--help"
[ "$("$wine" "$drives" /dev/sda 2>&1 >/dev/null | grep -c spindwart-drives)" -ge 1 ] || fail "usage on stderr"
"$wine" "$drives" /dev/sda >/dev/null 2>&1
[ $? -eq 2 ] || fail "an argument: exit 2"

# The watch: Wine's drive cannot be asked; Ctrl+C (Wine turns SIGINT into CTRL_C_EVENT) ends it
# with the summary and exit 0. A signal to the Windows process itself (its command line begins with
# the program), not to a start.exe that Wine may put before it.
env --default-signal=INT timeout -s KILL 60 "$wine" "$drives" --watch >"$work/watch.txt" 2>&1 &
watcher=$!
for _ in $(seq 300); do grep -q "abgefragt" "$work/watch.txt" 2>/dev/null && break; sleep 0.1; done
pkill -INT -f '^[^ ]*spindwart-drives.exe --watch'
wait $watcher || fail "--watch: exit $? after Ctrl+C"
watched=$(iconv -f cp437 -t utf-8 <"$work/watch.txt")
echo "$watched"
grep -q $'/dev/sda .*kann nicht abgefragt werden (kein Weg trägt den Befehl)\r$' <<<"$watched" || fail "--watch: the line"
grep -q $'^/dev/sda: 0 Anläufe, 0 Abschaltungen' <<<"$watched" || fail "--watch: the summary"
"$wine" "$drives" --watch --idle 1441 /dev/sda >/dev/null 2>&1
[ $? -eq 2 ] || fail "--watch with a bad argument: exit 2"

# The drive cannot be asked, so it reads as in standby: the notification area at the right end of
# the taskbar shows the dark blue platter with the yellow moon.
standby_icon_shown() {
  local pixels
  pixels=$(convert "$1" -crop 120x30+680+570 +repage txt:- 2>/dev/null)
  [ "$(grep -ci '#000080' <<<"$pixels")" -ge 10 ] && [ "$(grep -ci '#FFFF00' <<<"$pixels")" -ge 3 ]
}
timeout 150 "$wine" explorer "/desktop=e2e$$,800x600" "$probe" "$("$wine" winepath -w "$report")" "$("$wine" winepath -w "$exe")" \
  "$("$wine" winepath -w "$ready")" >/dev/null 2>&1 &
runner=$!
screens=0
while kill -0 $runner 2>/dev/null; do
  if [ -s "$ready" ]; then
    moment=$(tr -d '\r\n' <"$ready")
    sleep 1  # the taskbar draws
    import -display "$DISPLAY" -window root "$work/$moment.png" 2>/dev/null
    screens=$((screens + 1))
    standby_icon_shown "$work/$moment.png"
    [ $? -eq "$([ "$moment" = removed ] && echo 1 || echo 0)" ] || fail "the icon at the moment '$moment'"
    rm -f "$ready"
  fi
  sleep 0.1
done
tr -d '\r' <"$report"
[ $screens -eq 3 ] || fail "$screens of 3 screenshots taken"
tr -d '\r' <"$report" | grep -qx 'done 0' || fail "the probe"
exit $failed
