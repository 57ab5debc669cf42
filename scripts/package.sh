#!/usr/bin/env bash
# The release package: both programs, the simulated device, README.txt, LICENSE and SHA256SUMS in
# dist/quorvel-<version>-windows.zip, made by CPack's ZIP generator from release builds without
# tests. The same commit gives the same bytes wherever it is built.
#   bash scripts/package.sh           packages the working tree
#   bash scripts/package.sh --verify  packages HEAD twice, from two clones in different folders, and
#                                     fails unless the two zips are identical; then keeps it in dist/
source "$(dirname "$0")/common.sh"

# package_tree SOURCE: builds SOURCE/build/pkg-x64 and pkg-x86, writes SOURCE/dist/*.zip.
package_tree() {
  local src=$1 arch tc with zip
  # Entry times come from the commit; zip entries hold local time, so the zone is fixed too.
  export SOURCE_DATE_EPOCH
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
  export TZ=UTC
  for arch in x86 x64; do
    if [ $arch = x64 ]; then tc=mingw-x86_64; with="$src/build/pkg-x86"; else tc=mingw-i686; with=""; fi
    cmake -S "$src" -B "$src/build/pkg-$arch" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$tc.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF \
      -DQUORVEL_PACKAGE_WITH="$with" >/dev/null
    cmake --build "$src/build/pkg-$arch" -j"$(nproc)"
  done
  rm -rf "$src/build/pkg-cpack"
  (cd "$src/build/pkg-x64" && cpack -G ZIP -B "$src/build/pkg-cpack")
  mkdir -p "$src/dist"
  for zip in "$src"/build/pkg-cpack/*.zip; do
    echo "Package: $src/dist/${zip##*/}"
    # CPack stores each file's change and access times, its owner and the folder's listing order;
    # this sets one time, owner and mode rule for all entries and sorts them by name.
    strip-nondeterminism -t zip -T "$SOURCE_DATE_EPOCH" "$zip"
    mv "$zip" "$src/dist/"
  done
}

bash "$ROOT/scripts/install-deps.sh"
if [ "${1:-}" != --verify ]; then
  package_tree "$ROOT"
  exit 0
fi

tmp=$(mktemp -d)
git clone -q "$ROOT" "$tmp/a/quorvel"
git clone -q "$ROOT" "$tmp/second-build/quorvel"
package_tree "$tmp/a/quorvel"
package_tree "$tmp/second-build/quorvel"
sums=$(cd "$tmp" && sha256sum a/quorvel/dist/*.zip second-build/quorvel/dist/*.zip)
echo "$sums"
if [ "$(echo "$sums" | cut -d' ' -f1 | uniq | wc -l)" -ne 1 ]; then
  echo "The two packages differ; both builds are kept in $tmp" >&2
  diff <(unzip -v "$tmp"/a/quorvel/dist/*.zip) <(unzip -v "$tmp"/second-build/quorvel/dist/*.zip) >&2 || true
  exit 1
fi
mkdir -p "$ROOT/dist"
cp "$tmp"/a/quorvel/dist/*.zip "$ROOT/dist/"
rm -rf "$tmp"
echo "Both builds gave the same zip; kept in $ROOT/dist"
