#!/usr/bin/env bash
# The real spindwart.exe under Wine, in a virtual desktop with a taskbar, driven by the probe.
#   e2e.sh SPINDWART_EXE PROBE_EXE WORK_DIR
# Needs DISPLAY (scripts/test runs a private Xvfb) and WINEPREFIX.
set -uo pipefail
exe=$1 probe=$2 work=$3
mkdir -p "$work"
report="$work/report.txt" ready="$work/ready" shot="$work/tray.png"
rm -f "$report" "$ready" "$shot"
desktop="e2e$$"

to_windows() { winepath -w "$1" 2>/dev/null; }

timeout 150 wine explorer "/desktop=$desktop,800x600" "$probe" "$(to_windows "$report")" "$(to_windows "$exe")" \
  "$(to_windows "$ready")" >/dev/null 2>&1 &
runner=$!

tray_ok=0
for _ in $(seq 600); do
  [ -e "$ready" ] && break
  kill -0 $runner 2>/dev/null || break
  sleep 0.1
done
if [ -e "$ready" ]; then
  sleep 2  # the taskbar draws the icon
  import -display "$DISPLAY" -window root "$shot" 2>/dev/null
  # The drive under Wine cannot be asked, so it reads as in standby: the tray shows the dark blue
  # platter with the yellow moon, in the notification area at the right end of the taskbar.
  pixels=$(convert "$shot" -crop 120x30+680+570 +repage txt:- 2>/dev/null)
  navy=$(grep -ci '#000080' <<<"$pixels")
  yellow=$(grep -ci '#FFFF00' <<<"$pixels")
  [ "$navy" -ge 10 ] && [ "$yellow" -ge 3 ] && tray_ok=1
  rm -f "$ready"
fi
wait $runner

tr -d "\r" <"$report" 2>/dev/null
echo "tray icon in the notification area: $([ $tray_ok -eq 1 ] && echo ok || echo FAIL) (navy ${navy:-0}, yellow ${yellow:-0} pixels)"
tr -d '\r' <"$report" | grep -qx 'done 0' 2>/dev/null && [ $tray_ok -eq 1 ]
