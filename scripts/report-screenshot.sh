#!/usr/bin/env bash
# report-screenshot.sh ARCH OUT.png
# Writes the report of the simulated device with the checker of build ARCH (x64 or x86), in the
# current WINEPREFIX, opens it in a headless browser, saves a screenshot of its top (the header,
# the summary, the driver and the switch timing) and fails when the screenshot is blank.
source "$(dirname "$0")/common.sh"
arch=$1 out=$2
if [ "$arch" = x64 ]; then loader=/usr/lib/wine/wine64 dll=simasio64.dll exe=quorvelcheck64.exe
else loader=/usr/lib/wine/wine dll=simasio.dll exe=quorvelcheck.exe; fi
bin="$ROOT/build/$arch"
page="$bin/report.html"
"$loader" regsvr32 /s "$(winpath "$bin/$dll")"
# The checker makes a hidden window: it needs a display.
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a -s "-screen 0 1280x1024x24")
# Status 1 is the device's own verdict (a check its real-time pace missed); the page stands.
status=0
"${display[@]}" "$loader" "$bin/$exe" report "Quorvel Simulated Device" --seconds 2 \
  -o "$(winpath "$page")" >/dev/null || status=$?
[ "$status" -le 1 ] || { echo "the report ended with status $status" >&2; exit 1; }
profile=$(mktemp -d)
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$profile" --hide-scrollbars --window-size=1000,1900 \
  --screenshot="$out" "file://$page" >/dev/null 2>&1
rm -rf "$profile"
# A page that did not render is one colour, or a few.
colours=$(identify -format %k "$out" 2>/dev/null || echo 0)
if [ "$colours" -lt 64 ]; then
  echo "the screenshot of the report is blank: $colours colours in $out" >&2
  exit 1
fi
echo "Report screenshot: $out ($colours colours)"
