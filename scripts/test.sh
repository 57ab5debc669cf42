#!/usr/bin/env bash
# Installs what is missing, builds both programs and runs every test of both builds under Wine,
# in a fresh Wine prefix and on a private Xvfb display; then opens the checker's report of the
# simulated device in a headless browser and fails when it shows nothing.
source "$(dirname "$0")/common.sh"
bash "$ROOT/scripts/install-deps.sh"
build_all -DQUORVEL_TESTS=ON
make_prefix "$ROOT/build/wineprefix" fresh
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  s=0
  for arch in x64 x86; do
    echo "=== tests of the $arch build ==="
    ctest --test-dir "'"$ROOT"'/build/$arch" --output-on-failure --timeout 1500 || s=1
  done
  echo "=== the report of the simulated device in a headless browser ==="
  bash "'"$ROOT"'/scripts/report-screenshot.sh" x64 "'"$ROOT"'/build/report.png" || s=1
  wineserver -k 2>/dev/null || true
  exit $s' || status=1
exit $status
