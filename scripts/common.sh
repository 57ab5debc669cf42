# Sourced by the scripts: builds both programs and prepares a Wine prefix.
set -eu
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

build_all() {  # build_all [extra cmake args]
  local arch tc
  for arch in x64 x86; do
    if [ $arch = x64 ]; then tc=mingw-x86_64; else tc=mingw-i686; fi
    cmake -S "$ROOT" -B "$ROOT/build/$arch" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$tc.cmake" "$@" >/dev/null
    cmake --build "$ROOT/build/$arch" -j"$(nproc)"
  done
}

# make_prefix DIR [fresh]: a 64-bit prefix (it runs 32-bit programs too).
make_prefix() {
  export WINEPREFIX=$1 WINEARCH=win64
  if [ "${2:-}" = fresh ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making a Wine prefix in $WINEPREFIX ..."
    wineboot -i >/dev/null 2>&1
    # A program that crashes must end with its exception code, not wait on Wine's crash dialog
    # for a click that never comes.
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
    wineserver -w
  fi
}

# Z:\ path of a Linux path, as Wine sees it.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
