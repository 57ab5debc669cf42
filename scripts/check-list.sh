#!/usr/bin/env bash
# Writes the output of `quorvelcheck64 conform --list-checks` into docs/quorvelcheck.md, between
# its two markers. The checker tests compare the two, so the list in the documentation cannot
# drift from the program's. Needs a build (scripts/test.sh or scripts/run.sh makes one).
source "$(dirname "$0")/common.sh"
checker="$ROOT/build/x64/quorvelcheck64.exe"
[ -f "$checker" ] || { echo "Build first: $checker is missing" >&2; exit 1; }
list=$(/usr/lib/wine/wine64 "$checker" conform --list-checks | tr -d '\r')
doc="$ROOT/docs/quorvelcheck.md"
python3 - "$doc" "$list" <<'PY'
import sys
path, listing = sys.argv[1], sys.argv[2]
text = open(path).read()
begin, end = "<!-- conform --list-checks -->\n", "<!-- end of the list -->\n"
a, b = text.index(begin) + len(begin), text.index(end)
open(path, "w").write(text[:a] + "```\n" + listing + "\n```\n" + text[b:])
PY
echo "Updated the check list in $doc"
