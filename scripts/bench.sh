#!/usr/bin/env bash
# Builds the benchmarks of both programs and runs them under Wine, in a prefix of their own and on
# a private Xvfb display, printing every figure as a table (also kept in build/bench-results.md).
# Benchmarks print figures; they are not tests, and scripts/test.sh does not run them.
#
#   bash scripts/bench.sh [--quick] [--arch x64|x86|both]
#
# Full (the default): 60 s real-time runs, up to 50,000 class keys; about 10 minutes for x64 and
# more for x86 where it runs under emulation. --quick: 5 s real-time runs, up to 10,000 keys, fewer
# rounds; a few minutes. Exits non-zero when a benchmark failed, including the check that the
# buffer-switch handler allocates nothing and takes no lock.
source "$(dirname "$0")/common.sh"

usage() { echo "usage: bash scripts/bench.sh [--quick] [--arch x64|x86|both]" >&2; exit 2; }
QUICK=""
ARCHES="x64 x86"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --arch)
      [ $# -ge 2 ] || usage
      case "$2" in x64 | x86) ARCHES=$2 ;; both) ARCHES="x64 x86" ;; *) usage ;; esac
      shift ;;
    *) usage ;;
  esac
  shift
done

bash "$ROOT/scripts/install-deps.sh"
for arch in $ARCHES; do
  if [ "$arch" = x64 ]; then tc=mingw-x86_64; dir=bench64; else tc=mingw-i686; dir=bench32; fi
  cmake -S "$ROOT" -B "$ROOT/build/$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$tc.cmake" \
    -DQUORVEL_BENCH=ON -DQUORVEL_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/$dir" -j"$(nproc)" >/dev/null
done
make_prefix "$ROOT/build/wineprefix-bench"
# The prefix was made without a display: let that Wine session end before one with a display.
wineserver -w

export ROOT QUICK ARCHES
results="$ROOT/build/bench-results.md"
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  s=0
  run() {  # run EXPECTED-EXIT-CODE PROGRAM ARGS...
    local want=$1; shift
    "$@"; local code=$?
    if [ $code -ne "$want" ]; then echo; echo "**$(basename "$2") ended with $code, not $want.**"; s=1; fi
    echo
  }
  # Every call and jump out of onBufferSwitch in the shipped program's machine code: memcpy is
  # the only one allowed. A call through a pointer has no name and fails the check too.
  handler_calls() {  # handler_calls ARCH BUILD-DIR
    local tool=x86_64-w64-mingw32-objdump exe=$2/quorvel64.exe
    [ "$1" = x86 ] && tool=i686-w64-mingw32-objdump exe=$2/quorvel.exe
    local out
    out=$($tool -d --no-show-raw-insn -C "$exe" |
      awk "/<onBufferSwitch\\(long, long\\)>:/ {p = 1; next} p && /^\$/ {exit} p" |
      grep -E "[[:space:]](call|jmp)" | grep -v "<onBufferSwitch(long, long)+" |
      sed -E "s/.*[[:space:]](call|jmp)[[:space:]]+[0-9a-f]* ?/\1 /")
    echo "### Calls in the machine code of onBufferSwitch ($(basename "$exe"))"
    echo
    echo "$out" | sed "s/^/    /"
    echo
    if [ -n "$out" ] && ! echo "$out" | grep -vqx "call <memcpy>"; then
      echo "Check: PASSED: the handler calls memcpy and nothing else."
    else
      echo "**Check: FAILED: the handler calls more than memcpy.**"; s=1
    fi
    echo
  }
  if [ -n "$QUICK" ]; then mode="--quick"; seconds=5; else mode=""; seconds=60; fi
  echo "## Benchmark run $(date -u "+%Y-%m-%d %H:%M UTC")${QUICK:+ (quick)}"
  echo
  echo "- Commit: $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "- CPU: $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2- | sed "s/^ //"), $(nproc) cores"
  emulated="natively"
  [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && emulated="under qemu user-mode emulation"
  echo "- $(/usr/lib/wine/wine64 --version) on Linux $(uname -r); 32-bit Wine runs $emulated"
  echo
  for arch in $ARCHES; do
    if [ "$arch" = x64 ]; then loader=/usr/lib/wine/wine64; dir=bench64; else loader=/usr/lib/wine/wine; dir=bench32; fi
    bin="$ROOT/build/$dir"
    echo "## $arch"
    echo
    run 0 "$loader" "$bin/callback_bench.exe" $mode
    echo "### The same check on a handler that allocates, locks and waits (it must fail)"
    echo
    run 1 "$loader" "$bin/callback_bench.exe" --violate
    handler_calls "$arch" "$bin"
    run 0 "$loader" "$bin/realtime_bench.exe" --seconds $seconds
    run 0 "$loader" "$bin/startup_bench.exe" $mode
  done
  wineserver -k 2>/dev/null || true
  exit $s' | tee "$results"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
echo "Tables kept in $results"
exit $status
