#!/usr/bin/env bash
# screenshot.sh ARCH OUT.png [drive_dialog actions...] [--crop WxH+X+Y]
# Runs the program of build ARCH (x64 or x86) in the current WINEPREFIX on a private Xvfb display,
# works its dialog with drive_dialog, and saves a screenshot of the dialog's screen area.
source "$(dirname "$0")/common.sh"
arch=$1 out=$2
shift 2
crop=460x257+0+0  # the dialog, at the top left of the screen
if [ $# -ge 2 ] && [ "${@: -2:1}" = --crop ]; then
  crop=${@: -1}
  set -- "${@:1:$#-2}"
fi
loader=/usr/lib/wine/wine64
[ "$arch" = x86 ] && loader=/usr/lib/wine/wine
tmp=$(mktemp -d)
# Without a window manager Wine draws the frame and caption itself.
$loader reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
wineserver -w
xvfb-run -a -s "-screen 0 640x400x24" bash -c '
  "'"$loader"'" "'"$ROOT/build/$arch/tests/drive_dialog.exe"'" "$@" \
      --ready "'"$(winpath "$tmp")"'\\ready" --done "'"$(winpath "$tmp")"'\\done" &
  for i in $(seq 600); do [ -e "'"$tmp"'/ready" ] && break; sleep 0.2; done
  import -window root -crop '"$crop"' "'"$out"'"
  touch "'"$tmp"'/done"
  wait
' drive "$@"
rm -rf "$tmp"
