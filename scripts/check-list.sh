#!/usr/bin/env bash
# Writes the documentation's generated lists between their markers: the output of
# `quorvelcheck64 conform --list-checks` into docs/quorvelcheck.md, and the simulated device's
# knobs (its table, as tests/sim/sim_knob_list prints it) into docs/development.md. The checker
# tests and sim_device_test compare each, so neither list can drift from the program's. Needs a
# build (scripts/test.sh or scripts/run.sh makes one).
source "$(dirname "$0")/common.sh"
checker="$ROOT/build/x64/quorvelcheck64.exe"
knobs="$ROOT/build/x64/tests/sim/sim_knob_list.exe"
for built in "$checker" "$knobs"; do
  [ -f "$built" ] || { echo "Build first (with the tests): $built is missing" >&2; exit 1; }
done
write_between() {  # file, begin marker, end marker, text
  python3 - "$@" <<'PY'
import sys
path, begin, end, listing = sys.argv[1], sys.argv[2] + "\n", sys.argv[3] + "\n", sys.argv[4]
text = open(path).read()
a, b = text.index(begin) + len(begin), text.index(end)
open(path, "w").write(text[:a] + listing + text[b:])
PY
}
list=$(/usr/lib/wine/wine64 "$checker" conform --list-checks | tr -d '\r')
write_between "$ROOT/docs/quorvelcheck.md" "<!-- conform --list-checks -->" "<!-- end of the list -->" \
  $'```\n'"$list"$'\n```\n'
echo "Updated the check list in $ROOT/docs/quorvelcheck.md"
list=$(/usr/lib/wine/wine64 "$knobs" | tr -d '\r')
write_between "$ROOT/docs/development.md" "<!-- the device's knobs -->" "<!-- end of the knobs -->" \
  "$list"$'\n'
echo "Updated the list of knobs in $ROOT/docs/development.md"
