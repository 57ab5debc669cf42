#!/usr/bin/env bash
# Holds the checker's layers against its includes: each folder of checker/ (with its subfolders)
# includes only its own files and the chief headers (FOLDER/FOLDER.h) of the folders below it, in
# this order:
#   base < measure < session < commands < conform < cycles < soak < report < compare < the top
#   (checker.cpp, main.cpp)
# Below them all is the core, drivers/ and engine/: it includes nothing of checker/ or app/, and
# base takes of it only drivers/asio_interface.h and engine/sample_types.h (no driver is called there).
# The simulated device is held the same way, apart from the program: simdevice/ itself (its knobs,
# its shared record, its own declaration of the driver interface) < core < stream < panel < object;
# a layer takes of simdevice/ itself only sim_device.h and sim_asio_abi.h, of a layer below only
# its chief header (simdevice/FOLDER/FOLDER.h), and nothing of checker/, drivers/, engine/, app/.
# An include is read as the compiler finds it: "../x.h" and a file beside the includer from the
# includer's folder, anything else from the repository's root.
# Prints every include that breaks the order and exits 1; exits 0 when there is none.
# usage: check-layers.sh [ROOT]        (default: this repository)
#        check-layers.sh --self-test   plants each kind of wrong include in a copy, expects it found
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
layers="base measure session commands conform cycles soak report compare"
base_core="drivers/asio_interface.h engine/sample_types.h"
sim_layers="core stream panel object"
sim_face="simdevice/sim_device.h simdevice/sim_asio_abi.h"

# The functions below answer in a variable, not on their output: a check forks no process per include.

# rank FOLDER "LAYERS" FIRST TOP: in $ranked the place of FOLDER in LAYERS, counted from FIRST; TOP
# for the folder itself (top), 0 for a folder that is no layer.
rank() {
  local layer
  ranked=$3
  for layer in $2; do
    [ "$layer" = "$1" ] && return
    ranked=$((ranked + 1))
  done
  [ "$1" = top ] && ranked=$4 || ranked=0
}
checker_rank() { rank "$1" "$layers" 1 10; }      # the top of the checker stands above its layers
sim_rank() { rank "$1" "$sim_layers" 2 1; }      # simdevice/ itself is the device's lowest layer

# layer_of PATH: in $layer the layer of a path below checker/ ("report/sub/x.h" is in report), top
# for a file of checker/ itself.
layer_of() {
  case "$1" in
    */*) layer=${1%%/*} ;;
    *) layer=top ;;
  esac
}

# normal PATH: in $normalised PATH with its "." and ".." taken out.
normal() {
  local part out=() IFS=/
  for part in $1; do
    case "$part" in
      "" | .) ;;
      ..) if [ ${#out[@]} -gt 0 ]; then unset 'out[${#out[@]}-1]'; else out+=(..); fi ;;
      *) out+=("$part") ;;
    esac
  done
  normalised="${out[*]}"
}

# resolve FILE INCLUDED, in the repository's root: in $resolved the path an include of FILE names,
# empty for a system header.
resolve() {
  local path
  case "$2" in
    ./* | ../*) path=${1%/*}/$2 ;;
    *) if [ -e "${1%/*}/$2" ]; then path=${1%/*}/$2; else path=$2; fi ;;
  esac
  normal "$path"
  resolved=$normalised
  case "$resolved" in
    checker/* | drivers/* | engine/* | app/* | simdevice/*) ;;
    *) [ -e "$resolved" ] || resolved= ;;
  esac
}

# includes FILE...: a line "FILE INCLUDED" for every quoted include, and every bracketed include of
# the repository's folders.
includes() {
  awk '{
    if (match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"]*"/)) {
      line = substr($0, RSTART, RLENGTH); sub(/^[^"]*"/, "", line); sub(/"$/, "", line)
      print FILENAME " " line
    } else if (match($0, /^[ \t]*#[ \t]*include[ \t]*<(checker|drivers|engine|app|simdevice)\/[^>]*>/)) {
      line = substr($0, RSTART, RLENGTH); sub(/^[^<]*</, "", line); sub(/>$/, "", line)
      print FILENAME " " line
    }
  }' "$@"
}

# include_fault FILE PATH: in $fault why FILE may not include the repository's PATH; empty when it may.
include_fault() {
  local file=$1 path=$2 own mine target
  fault=
  case "$file" in
    simdevice/*) sim_include_fault "$file" "$path"; return ;;
    drivers/* | engine/*)
      case "$path" in checker/* | app/*) fault="the core includes only its own" ;; esac
      return ;;
  esac
  layer_of "${file#checker/}"
  own=$layer
  checker_rank "$own"
  mine=$ranked
  [ "$mine" = 0 ] && return  # its folder is reported once, not at each include
  case "$path" in
    checker/*)
      layer_of "${path#checker/}"
      target=$layer
      checker_rank "$target"
      if [ "$ranked" = 0 ]; then
        fault="in a folder that is no layer"
      elif [ "$ranked" -gt "$mine" ]; then
        fault="a layer above $own"
      elif [ "$target" != "$own" ] && [ "$target" != top ] && [ "$path" != "checker/$target/$target.h" ]; then
        fault="not the chief header of $target"
      fi ;;
    drivers/* | engine/*)
      if [ "$own" = base ] && [[ " $base_core " != *" $path "* ]]; then
        fault="base takes only $base_core"
      fi ;;
    *) fault="outside the checker and the core" ;;
  esac
}

# sim_include_fault FILE PATH: the same for a file of the simulated device.
sim_include_fault() {
  local own mine target
  layer_of "${1#simdevice/}"
  own=$layer
  sim_rank "$own"
  mine=$ranked
  [ "$mine" = 0 ] && return
  case "$2" in
    simdevice/*)
      layer_of "${2#simdevice/}"
      target=$layer
      sim_rank "$target"
      if [ "$ranked" = 0 ]; then
        fault="in a folder of the device that is no layer"
      elif [ "$ranked" -gt "$mine" ]; then
        fault="a layer of the device above $own"
      elif [ "$target" = top ] && [ "$own" != top ] && [[ " $sim_face " != *" $2 "* ]]; then
        fault="the device's layers take of simdevice/ only $sim_face"
      elif [ "$target" != "$own" ] && [ "$target" != top ] && [ "$2" != "simdevice/$target/$target.h" ]; then
        fault="not the chief header of the device's $target"
      fi ;;
    *) fault="outside the simulated device: it declares what it needs itself" ;;
  esac
}

check() (  # check ROOT: in a subshell, for its own working folder
  bad=0
  cd "$1" || exit 1
  mapfile -t files < <(find checker drivers engine simdevice -name '*.cpp' -o -name '*.h' | sort)
  for file in "${files[@]}"; do
    case "$file" in
      checker/*/*)
        layer_of "${file#checker/}"
        checker_rank "$layer"
        if [ "$ranked" = 0 ]; then
          echo "$file: in checker/$layer, a folder that is no layer"
          bad=1
        fi ;;
      simdevice/*/*)
        layer_of "${file#simdevice/}"
        sim_rank "$layer"
        if [ "$ranked" = 0 ]; then
          echo "$file: in simdevice/$layer, a folder of the device that is no layer"
          bad=1
        fi ;;
    esac
  done
  while read -r file included; do
    resolve "$file" "$included"
    [ -n "$resolved" ] || continue
    include_fault "$file" "$resolved"
    if [ -n "$fault" ]; then
      echo "$file: includes $resolved, $fault"
      bad=1
    fi
  done < <(includes "${files[@]}")
  exit $bad
)

# plant FILE LINE WHAT: adds LINE to FILE of the copy (a path from its root) (a new file when there is none), expects the
# check to name that file, and takes the line back out.
plant() {
  local file=$copy/$1 line=$2 what=$3 new=0 found
  [ -e "$file" ] || { new=1; mkdir -p "$(dirname "$file")"; }
  echo "$line" >> "$file"
  found=$(check "$copy" | grep -c -F "$1: ")
  if [ "$new" = 1 ]; then rm -f "$file"; else sed -i '$d' "$file"; fi
  if [ "$found" = 0 ]; then
    echo "not found: $what ($line in $1)"
    failed=1
  fi
}

if [ "${1:-}" = --self-test ]; then
  copy=$(mktemp -d)
  trap 'rm -rf "$copy"' EXIT
  cp -RL "$here/checker" "$here/drivers" "$here/engine" "$here/simdevice" "$copy/"
  check "$copy" >/dev/null || { echo "the checker as it stands breaks its layers"; exit 1; }
  failed=0
  plant checker/measure/statistics.cpp '#include "checker/report/report.h"' "an include of a layer above"
  plant checker/commands/front_end.cpp '#include "checker/session/worker_protocol.h"' \
    "an include of a layer's private header"
  plant checker/measure/statistics.cpp '#include "../report/report.h"' "a relative include of a layer above"
  plant checker/commands/front_end.cpp '#include "../session/worker_protocol.h"' \
    "a relative include of a layer's private header"
  plant checker/measure/statistics.cpp '#include <checker/report/report.h>' "a bracketed include"
  plant checker/measure/deep/inner.cpp '#include "checker/report/report.h"' \
    "a layer above, from a subfolder of a layer"
  plant checker/spare/spare.cpp '#include "checker/base/base.h"' "a folder that is no layer"
  plant checker/base/texts.cpp '#include "drivers/driver_loading.h"' "base calling a driver"
  plant checker/measure/statistics.cpp '#include "../../app/main_dialog.h"' "an include of the dialog"
  plant drivers/driver_list.cpp '#include "checker/base/base.h"' "the core including the checker"
  plant engine/loopback.cpp '#include "../checker/measure/measure.h"' \
    "the core including the checker relatively"
  plant simdevice/core/sim_hold.cpp '#include "../stream/stream.h"' "the device's core including a layer above"
  plant simdevice/stream/sim_clock.cpp '#include "simdevice/object/object.h"' \
    "the device's stream including its object"
  plant simdevice/object/sim_dll.cpp '#include "../stream/sim_private.h"' \
    "a header of the device's that is no chief header"
  plant simdevice/sim_config.cpp '#include "core/core.h"' "the device's knobs including a layer"
  plant simdevice/panel/sim_panel.cpp '#include "../sim_knobs.cpp"' \
    "a file of simdevice/ other than its two headers"
  plant simdevice/stream/sim_cable.cpp '#include "drivers/asio_interface.h"' \
    "the device including the program's declarations"
  plant simdevice/core/sim_faults.cpp '#include "../../checker/base/base.h"' \
    "the device including the checker relatively"
  plant simdevice/spare/spare.cpp '#include "../core/core.h"' "a folder of the device that is no layer"
  check "$copy" >/dev/null || { echo "a planted include was left behind"; exit 1; }
  [ "$failed" = 0 ] || exit 1
  echo "check-layers: every planted include was found"
  exit 0
fi

check "${1:-$here}" &&
  echo "check-layers: every include of checker/, the core and the simulated device keeps to the layers"
