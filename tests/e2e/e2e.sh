#!/usr/bin/env bash
# The real spindwart.exe under Wine, in a virtual desktop with a taskbar, driven by the probe.
#   e2e.sh SPINDWART_EXE PROBE_EXE WORK_DIR
# Needs DISPLAY (scripts/test runs a private Xvfb) and WINEPREFIX.
set -uo pipefail
exe=$1 probe=$2 work=$3
mkdir -p "$work"
report="$work/report.txt" ready="$work/ready"
rm -f "$report" "$ready" "$work"/*.png
desktop="e2e$$"

to_windows() { winepath -w "$1" 2>/dev/null; }

# The drive under Wine cannot be asked, so it reads as in standby: the notification area at the
# right end of the taskbar shows the dark blue platter with the yellow moon.
standby_icon_shown() {
  local pixels navy yellow
  pixels=$(convert "$1" -crop 120x30+680+570 +repage txt:- 2>/dev/null)
  navy=$(grep -ci '#000080' <<<"$pixels")
  yellow=$(grep -ci '#FFFF00' <<<"$pixels")
  echo "navy $navy, yellow $yellow pixels" >&2
  [ "$navy" -ge 10 ] && [ "$yellow" -ge 3 ]
}

timeout 150 wine explorer "/desktop=$desktop,800x600" "$probe" "$(to_windows "$report")" "$(to_windows "$exe")" \
  "$(to_windows "$ready")" >/dev/null 2>&1 &
runner=$!

screens=()
while kill -0 $runner 2>/dev/null; do
  if [ -s "$ready" ]; then
    moment=$(tr -d '\r\n' <"$ready")
    sleep 1  # the taskbar draws
    import -display "$DISPLAY" -window root "$work/$moment.png" 2>/dev/null
    case "$moment" in
      tray | restored) standby_icon_shown "$work/$moment.png" && screens+=("ok $moment: standby icon shown") \
                         || screens+=("FAIL $moment: standby icon shown") ;;
      removed) standby_icon_shown "$work/$moment.png" && screens+=("FAIL removed: icon gone") \
                 || screens+=("ok removed: icon gone") ;;
    esac
    rm -f "$ready"
  fi
  sleep 0.1
done
wait $runner

tr -d '\r' <"$report" 2>/dev/null
printf '%s\n' "${screens[@]}"
[ ${#screens[@]} -eq 3 ] || echo "FAIL: ${#screens[@]} of 3 screenshots taken"
tr -d '\r' <"$report" | grep -qx 'done 0' && [ ${#screens[@]} -eq 3 ] && ! printf '%s\n' "${screens[@]}" | grep -q '^FAIL'
