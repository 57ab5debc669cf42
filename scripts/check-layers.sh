#!/usr/bin/env bash
# Holds the checker's layers against its includes: each folder of checker/ includes only its own
# files and the chief headers (FOLDER/FOLDER.h) of the folders below it, in this order:
#   base < measure < session < commands < conform < report < the top (checker.cpp, main.cpp)
# Prints every include that breaks the order and exits 1; exits 0 when there is none.
# usage: check-layers.sh [CHECKER_DIR]   (default: checker/ of this repository)
#        check-layers.sh --self-test     plants a wrong include in a copy and expects it found
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
layers="base measure session commands conform report"

rank() {  # rank FOLDER: its place in the order, 7 for the top
  local k=1 layer
  for layer in $layers; do
    [ "$layer" = "$1" ] && { echo $k; return; }
    k=$((k + 1))
  done
  echo 7
}

check() {
  local dir=$1 bad=0 file folder own target header
  while IFS= read -r file; do
    folder=$(dirname "${file#$dir/}")
    [ "$folder" = . ] && folder=top
    own=$(rank "$folder")
    while IFS= read -r header; do
      target=${header%%/*}
      case "$header" in
        */*) ;;
        *) target=top ;;
      esac
      if [ "$(rank "$target")" -gt "$own" ]; then
        echo "$file: includes checker/$header, a layer above $folder"
        bad=1
      elif [ "$target" != "$folder" ] && [ "$target" != top ] && [ "$header" != "$target/$target.h" ]; then
        echo "$file: includes checker/$header, not the chief header of $target"
        bad=1
      fi
    done < <(sed -n 's|^#include "checker/\(.*\)"|\1|p' "$file")
  done < <(find "$dir" -name '*.cpp' -o -name '*.h' | sort)
  return $bad
}

if [ "${1:-}" = --self-test ]; then
  copy=$(mktemp -d)
  trap 'rm -rf "$copy"' EXIT
  cp -r "$here/checker/." "$copy/"
  check "$copy" >/dev/null || { echo "the checker as it stands breaks its layers"; exit 1; }
  echo '#include "checker/report/report.h"' >> "$copy/measure/statistics.cpp"
  if check "$copy" >/dev/null; then
    echo "an include of report/ from measure/ was not found"
    exit 1
  fi
  sed -i '$d' "$copy/measure/statistics.cpp"
  echo '#include "checker/session/worker_protocol.h"' >> "$copy/commands/front_end.cpp"
  if check "$copy" >/dev/null; then
    echo "an include of session's private header from commands/ was not found"
    exit 1
  fi
  echo "check-layers: both planted includes were found"
  exit 0
fi

check "${1:-$here/checker}" && echo "check-layers: every include of checker/ keeps to the layers"
