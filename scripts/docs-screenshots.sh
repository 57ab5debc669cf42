#!/usr/bin/env bash
# Remakes the screenshots of the README (docs/*.png) under Xvfb, with the simulated device
# registered: the dialog as it opens, a loopback running on the device, and the checker's report of
# it in a headless browser.
source "$(dirname "$0")/common.sh"
make_prefix "$ROOT/build/wineprefix-run"
/usr/lib/wine/wine64 regsvr32 /s "$(winpath "$ROOT/build/x64/simasio64.dll")"
/usr/lib/wine/wine regsvr32 /s "$(winpath "$ROOT/build/x86/simasio.dll")"
wineserver -w
bash "$ROOT/scripts/screenshot.sh" x64 "$ROOT/docs/dialog.png"
bash "$ROOT/scripts/screenshot.sh" x64 "$ROOT/docs/loopback.png" --select 0 --start --wait 2000
bash "$ROOT/scripts/screenshot.sh" x86 "$ROOT/docs/loopback-x86.png" --select 0 --start --wait 2000
bash "$ROOT/scripts/screenshot.sh" x64 "$ROOT/docs/control-panel.png" --select 0 --panel --wait 1500 --crop 640x400+0+0
bash "$ROOT/scripts/report-screenshot.sh" x64 "$ROOT/docs/report.png"
# Fewer colours: a fifth of the bytes, and the text as sharp.
convert "$ROOT/docs/report.png" -strip -colors 96 "$ROOT/docs/report.png"
echo "Saved docs/dialog.png, docs/loopback.png, docs/loopback-x86.png, docs/control-panel.png and docs/report.png"
