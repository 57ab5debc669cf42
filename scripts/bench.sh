#!/usr/bin/env bash
# Builds the benchmarks of both programs and runs them under Wine, in a prefix of their own and on
# a private Xvfb display, printing every figure as a table (also kept in build/bench-results.md).
# Benchmarks print figures; they are not tests, and scripts/test.sh does not run them.
#
#   bash scripts/bench.sh [--quick] [--arch x64|x86|both] [--no-startup]
#
# Full (the default): 60 s real-time runs, up to 50,000 class keys; about 10 minutes for x64 and
# more for x86, which runs under emulation here. --quick: 5 s real-time runs, up to 10,000 keys,
# fewer rounds; a few minutes. Exits non-zero when a benchmark failed, including the checks that
# the buffer-switch handler allocates nothing and takes no lock. Ends with the integrity goals of
# each build: 128 channels' slowest path against 2 times the need, and the blocks dropped in real
# time with one core busy.
source "$(dirname "$0")/common.sh"

usage() { echo "usage: bash scripts/bench.sh [--quick] [--arch x64|x86|both] [--no-startup]" >&2; exit 2; }
ARGS=("$@")
QUICK=""
ARCHES="x64 x86"
ON_DISPLAY=""
NO_STARTUP=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --arch)
      [ $# -ge 2 ] || usage
      case "$2" in x64 | x86) ARCHES=$2 ;; both) ARCHES="x64 x86" ;; *) usage ;; esac
      shift ;;
    --no-startup) NO_STARTUP=1 ;;  # the start-up runs take longest; the others are quick
    --on-display) ON_DISPLAY=1 ;;  # the script calling itself under Xvfb
    *) usage ;;
  esac
  shift
done

if [ -z "$ON_DISPLAY" ]; then
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
  results="$ROOT/build/bench-results.md"
  xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --on-display "${ARGS[@]}" | tee "$results"
  status=${PIPESTATUS[0]}
  echo "Tables kept in $results"
  exit "$status"
fi

set +e
export WINEPREFIX="$ROOT/build/wineprefix-bench" WINEARCH=win64
failed=0

run() {  # run EXPECTED-EXIT-CODE LOADER PROGRAM ARGS...
  local want=$1
  shift
  "$@"
  local code=$?
  if [ "$code" -ne "$want" ]; then
    echo
    echo "**$(basename "$2") ended with $code, not $want.**"
    failed=1
  fi
  echo
}

# Every call and jump out of onBufferSwitch in the shipped program's machine code; memcpy is the
# only one allowed. A call through a pointer names no target and fails the check too.
handler_calls() {  # handler_calls OBJDUMP PROGRAM
  local calls
  calls=$("$1" -d --no-show-raw-insn -C "$2" |
    awk '/<onBufferSwitch\(long, long\)>:/ { inside = 1; next } inside && /^$/ { exit } inside' |
    grep -E '[[:space:]](call|jmp)[[:space:]]' | grep -v '<onBufferSwitch(long, long)+' |
    sed -E 's/.*[[:space:]](call|jmp)[[:space:]]+([0-9a-f]+ )?/\1 /')
  echo "### Calls in the machine code of onBufferSwitch ($(basename "$2"))"
  echo
  echo "$calls" | sed 's/^/    /'
  echo
  if [ -n "$calls" ] && ! echo "$calls" | grep -qvx 'call <memcpy>'; then
    echo "Check: PASSED: the handler calls memcpy and nothing else."
  else
    echo "**Check: FAILED: the handler calls more than memcpy.**"
    failed=1
  fi
  echo
}

# What the checker's worker costs: `info` of the simulated device with the worker and in process,
# and the time from starting the worker to its first word, as the worker's JSON gives it.
worker_cost() {  # worker_cost LOADER CHECKER DLL
  local loader=$1 checker=$2 runs=20 t0 t1 with alone starts
  "$loader" regsvr32 /s "$(winpath "$3")"
  t0=$(date +%s%N)
  for _ in $(seq $runs); do "$loader" "$checker" info sim >/dev/null; done
  t1=$(date +%s%N); with=$(( (t1 - t0) / runs / 1000000 ))
  t0=$(date +%s%N)
  for _ in $(seq $runs); do "$loader" "$checker" info sim --in-process >/dev/null; done
  t1=$(date +%s%N); alone=$(( (t1 - t0) / runs / 1000000 ))
  starts=$(for _ in $(seq $runs); do "$loader" "$checker" info sim --json; done |
           sed -n 's/.*"start_ms": \([0-9.]*\).*/\1/p' | sort -n)
  "$loader" regsvr32 /u /s "$(winpath "$3")"
  echo "### The checker's worker ($(basename "$checker"), $runs runs each)"
  echo
  echo "| info of the simulated device | ms per command |"
  echo "|---|---:|"
  echo "| with the worker | $with |"
  echo "| --in-process | $alone |"
  echo "| the worker's cost | $(( with - alone )) |"
  echo
  echo "From starting the worker to its first word, ms: median $(echo "$starts" | sed -n "$(( (runs + 1) / 2 ))p"), least $(echo "$starts" | head -1), most $(echo "$starts" | tail -1)."
  echo
}

if [ -n "$QUICK" ]; then mode="--quick"; seconds=5; else mode=""; seconds=60; fi
emulated="natively"
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && emulated="under qemu user-mode emulation"
echo "## Benchmark run $(date -u '+%Y-%m-%d %H:%M UTC')${QUICK:+ (quick)}"
echo
echo "- Commit: $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
echo "- $(/usr/lib/wine/wine64 --version) on Linux $(uname -r); 32-bit Wine runs $emulated"
echo
for arch in $ARCHES; do
  if [ "$arch" = x64 ]; then
    loader=/usr/lib/wine/wine64 bin="$ROOT/build/bench64"
    objdump=x86_64-w64-mingw32-objdump program="$bin/quorvel64.exe"
  else
    loader=/usr/lib/wine/wine bin="$ROOT/build/bench32"
    objdump=i686-w64-mingw32-objdump program="$bin/quorvel.exe"
  fi
  echo "## $arch"
  echo
  run 0 "$loader" "$bin/callback_bench.exe" $mode
  echo "### The same check on a handler that allocates, locks and waits (it must fail)"
  echo
  run 1 "$loader" "$bin/callback_bench.exe" --violate
  handler_calls "$objdump" "$program"
  run 0 "$loader" "$bin/realtime_bench.exe" --seconds $seconds
  run 0 "$loader" "$bin/integrity_bench.exe" $mode > "$ROOT/build/integrity-$arch.md"
  cat "$ROOT/build/integrity-$arch.md"
  run 0 "$loader" "$bin/report_bench.exe" $mode
  run 0 "$loader" "$bin/compare_bench.exe" $mode
  worker_cost "$loader" "$bin/quorvelcheck$( [ "$arch" = x64 ] && echo 64).exe" "$bin/simasio$( [ "$arch" = x64 ] && echo 64).dll"
  run 0 "$loader" "$bin/cost_bench.exe" --seconds "$( [ -n "$QUICK" ] && echo 3 || echo 10)"
  run 0 "$loader" "$bin/soak_bench.exe" $mode
  [ -n "$NO_STARTUP" ] || run 0 "$loader" "$bin/startup_bench.exe" $mode
done
echo "## The integrity goals"
echo
for arch in $ARCHES; do
  grep -h '^Goal' "$ROOT/build/integrity-$arch.md" | sed 's/^Goal, /- /'
done
echo
wineserver -k 2>/dev/null
exit $failed
