#!/usr/bin/env bash
# Builds both programs and runs quorvel64.exe under Wine with the simulated device registered.
# On the user's display when there is one; otherwise under Xvfb, saving a screenshot of the
# dialog (build/quorvel.png) and closing it again.
source "$(dirname "$0")/common.sh"
bash "$ROOT/scripts/install-deps.sh"
build_all
make_prefix "$ROOT/build/wineprefix-run"
# The simulated device (2 in, 2 out, 256 frames at 48 kHz, 32-bit integers), so that there is
# something to choose without audio hardware.
/usr/lib/wine/wine64 regsvr32 /s "$(winpath "$ROOT/build/x64/simasio64.dll")"
/usr/lib/wine/wine regsvr32 /s "$(winpath "$ROOT/build/x86/simasio.dll")" || true
# Let this Wine session end: the next one must start on the display the program will use.
wineserver -w
program="$ROOT/build/x64/quorvel64.exe"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Running $program on $DISPLAY; close its window to end."
  set +e
  /usr/lib/wine/wine64 "$program"
  echo "quorvel64.exe ended with exit code $?"
  exit 0
fi

shot="$ROOT/build/quorvel.png"
bash "$ROOT/scripts/screenshot.sh" x64 "$shot" --select 0 --start --wait 1500
echo "No display: ran quorvel64.exe under Xvfb, chose the simulated device, started the loopback."
echo "Screenshot of the dialog: $shot"
