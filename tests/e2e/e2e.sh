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
grep -q $'^Name  *Bus  *Größe' <<<"$list" || fail "heading"
grep -q $'^/dev/sda  .*  82,3 GB  .*  kann nicht abgefragt werden (kein Weg trägt den Befehl)\r$' <<<"$list" || fail "/dev/sda"
usage=$("$wine" "$drives" /dev/sda 2>&1 >/dev/null)
[ $? -eq 2 ] && grep -q spindwart-drives <<<"$usage" || fail "an argument: exit 2, the usage on stderr"
# The watch goes on without the kernel's events (64-bit Wine's OpenTraceW fails with error 5, 32-bit Wine's
# session stays silent); redirected, in UTF-8.
"$wine" "$drives" --watch /dev/sda >"$work/watch.txt" 2>&1 &
watcher=$!
for _ in $(seq 600); do grep -q 'kein Weg trägt den Befehl' "$work/watch.txt" && break; sleep 0.1; done
kill $watcher; wait $watcher 2>/dev/null
grep -q '^Prozesse nicht nachvollziehbar: Windows liefert keine Ereignisse' "$work/watch.txt" &&
  grep -q '/dev/sda   -  *kann nicht abgefragt werden (kein Weg trägt den Befehl)' "$work/watch.txt" || fail "the watch without events"

# The day report of a scripted month, as text and as a page that Chromium draws: on the first day's strip
# (16 px from the left, 90 s a pixel) the standby colour at 03:00, the wake's mark at 06:00, the spinning
# colour at 09:00, grey (not watched) at 23:45.
day=$("$wine" "$drives" --report --html "$("$wine" winepath -w "$work/day.html")" "$("$wine" winepath -w "$(dirname "$0")/../drives/data/month.csv")" |
      iconv -f cp437 -t utf-8) || fail "--report: exit $?"
grep -q $'^/dev/sdb  2026-03-29 (23 h): 2 Anläufe, 1 Abschaltungen' <<<"$day" || fail "the report's text"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1 --window-size=1100,560 \
  --screenshot="$work/day.png" "file://$work/day.html" >/dev/null 2>&1 || fail "chromium: exit $?"
pixel() { convert "$work/day.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null; }
y=$(convert "$work/day.png" -crop 1x560+136+0 +repage txt:- 2>/dev/null | grep -m1 -i '#2F5F98' | cut -d, -f2 | cut -d: -f1)
[ -n "$y" ] && [ "$(pixel 257 "$y")" = B00020 ] && [ "$(pixel 376 "$y")" = F0A030 ] && [ "$(pixel 966 "$y")" = E4E4E4 ] ||
  fail "the day's strip: standby at $y, then $(pixel 257 "${y:-0}") $(pixel 376 "${y:-0}") $(pixel 966 "${y:-0}")"

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
    shown=0  # until the taskbar has drawn it, at most 5 s
    for _ in $(seq 25); do
      import -display "$DISPLAY" -window root "$work/tray.png" 2>/dev/null
      standby_icon_shown "$work/tray.png" && shown=1 && break
      sleep 0.2
    done
    screens=$((screens + 1))
    [ $shown -eq 1 ] || fail "the icon in the notification area"
    rm -f "$ready"
  fi
  sleep 0.1
done
tr -d '\r' <"$report"
[ $screens -eq 1 ] || fail "$screens screenshots taken"
tr -d '\r' <"$report" | grep -qx 'done 0' || fail "the probe"
exit $failed
