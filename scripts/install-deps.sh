#!/usr/bin/env bash
# Installs the cross compilers, Wine (64- and 32-bit), Xvfb and the test tools (a headless browser
# among them, for the checker's report) on a Debian machine, and makes 32-bit Linux programs (Wine's
# 32-bit loader) runnable where the kernel has its 32-bit emulation switched off. Does nothing that
# is already done.
set -eu
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# debian_uri SUITE [APT_DIR]: the URI of the first configured source of SUITE with component main,
# from sources.list and sources.list.d/ in APT_DIR (default /etc/apt), in both the one-line (*.list)
# and the deb822 (*.sources) form. The project names no package host: another suite of the release
# is fetched from wherever this machine already gets its Debian packages.
debian_uri() {
  local suite=$1 dir=${2:-/etc/apt} f
  {
    for f in "$dir/sources.list" "$dir"/sources.list.d/*.list; do
      # deb [options] URI SUITE COMPONENT...
      [ -f "$f" ] && sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" |
        awk -v s="$suite" '$1 == "deb" && $3 == s { for (i = 4; i <= NF; i++) if ($i == "main") print $2 }'
    done
    for f in "$dir"/sources.list.d/*.sources; do
      # Stanzas of "Field: values" lines, separated by blank lines; a comment line is no separator.
      [ -f "$f" ] && { sed -e '/^#/d' "$f"; echo; } |
        awk -v s="$suite" '
          function has(values, word,   n, i, w) {
            n = split(values, w, " ")
            for (i = 1; i <= n; i++) if (w[i] == word) return 1
            return 0
          }
          function stanza_end(   u) {
            if (has(v["types"], "deb") && has(v["suites"], s) && has(v["components"], "main") &&
                tolower(v["enabled"]) !~ /no/) { split(v["uris"], u, " "); print u[1] }
            delete v; field = ""
          }
          /^[ \t]*$/ { stanza_end(); next }
          /^[ \t]/ { if (field != "") v[field] = v[field] " " $0; next }
          { field = tolower(substr($0, 1, index($0, ":") - 1)); v[field] = substr($0, index($0, ":") + 1) }'
    done
  } | head -n 1
}

# A list that fails to load (a mirror in the middle of a sync, a broken third-party source) need not
# be one the install uses: the update is tried once more, then the install goes on with the lists
# that loaded. When a suite's list loaded for one architecture and not the other, its versions of
# the 64-bit packages cannot be matched by 32-bit ones: the install is tried again without taking
# anything from that suite. Only when that fails too does apt's own message end the script.
failed_suites=""
apt_update() {
  local log try
  log=$(mktemp)
  for try in 1 2; do
    if $SUDO apt-get update -q >"$log" 2>&1; then
      cat "$log"; rm -f "$log"; return 0
    fi
    cat "$log"
    [ $try = 1 ] && sleep 10
  done
  failed_suites=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u | tr '\n' ' ')
  rm -f "$log"
  echo "install-deps: some package lists did not load (${failed_suites:-unknown}); going on with those that did" >&2
}
apt_install() {
  local prefs s status=0
  $SUDO apt-get install -y -q --no-install-recommends "$@" && return 0
  [ -n "$failed_suites" ] || return 1
  prefs=$(mktemp)
  for s in $failed_suites; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1\n\n' "$s"
  done >"$prefs"
  echo "install-deps: trying the install again without the versions of $failed_suites" >&2
  $SUDO apt-get install -y -q --no-install-recommends -o Dir::Etc::Preferences="$prefs" "$@" || status=$?
  rm -f "$prefs"
  return $status
}

need=()
for p in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools cmake make \
         wine wine64 wine32:i386 xvfb xauth imagemagick googletest x11-utils \
         strip-nondeterminism unzip chromium; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  apt_update
  apt_install "${need[@]}"
fi

# Wine runs 32-bit Windows programs through a 32-bit Linux loader. Some kernels refuse 32-bit
# programs ("32-bit emulation disabled"); then the loader runs under qemu's user-mode emulation.
# qemu 7 makes every 32-bit Wine start take a minute (it ignores MAP_FIXED_NOREPLACE, and Wine's
# address space reservation falls back to 65,000 mmap calls); qemu 10 from bookworm-backports
# starts it in a fraction of a second.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if ! qemu-i386-static --version 2>/dev/null | grep -qE 'version (9|[1-9][0-9])\.'; then
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! apt-cache policy qemu-user-static | grep -q "$release-backports"; then
      uri=$(debian_uri "$release")
      [ -n "$uri" ] || { echo "No Debian source for $release with main is configured" >&2; exit 1; }
      echo "deb $uri $release-backports main" |
        $SUDO tee /etc/apt/sources.list.d/backports.list >/dev/null
      apt_update
    fi
    apt_install -t "$release-backports" qemu-user-static
  fi
  misc=/proc/sys/fs/binfmt_misc
  [ -e $misc/register ] || $SUDO mount -t binfmt_misc binfmt_misc $misc
  [ -e $misc/qemu-i386 ] && echo -1 | $SUDO tee $misc/qemu-i386 >/dev/null
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
    $SUDO tee $misc/register >/dev/null
  /usr/lib/wine/wine --version >/dev/null
fi
