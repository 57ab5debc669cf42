#!/usr/bin/env bash
# Installs the cross compilers, Wine (64- and 32-bit), Xvfb and the test tools on a Debian machine,
# and makes 32-bit Linux programs (Wine's 32-bit loader) runnable where the kernel has its 32-bit
# emulation switched off. Does nothing that is already done.
set -eu
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need=()
for p in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools cmake make \
         wine wine64 wine32:i386 xvfb xauth imagemagick googletest x11-utils; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Wine runs 32-bit Windows programs through a 32-bit Linux loader. Some kernels refuse 32-bit
# programs ("32-bit emulation disabled"); then the loader runs under qemu's user-mode emulation.
# qemu 7 makes every 32-bit Wine start take a minute (it ignores MAP_FIXED_NOREPLACE, and Wine's
# address space reservation falls back to 65,000 mmap calls); qemu 10 from bookworm-backports
# starts it in a fraction of a second.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if ! qemu-i386-static --version 2>/dev/null | grep -qE 'version (9|[1-9][0-9])\.'; then
    if ! apt-cache policy qemu-user-static | grep -q bookworm-backports; then
      echo 'deb http://deb.debian.org/debian bookworm-backports main' |
        $SUDO tee /etc/apt/sources.list.d/backports.list >/dev/null
      $SUDO apt-get update -q
    fi
    $SUDO apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static
  fi
  misc=/proc/sys/fs/binfmt_misc
  [ -e $misc/register ] || $SUDO mount -t binfmt_misc binfmt_misc $misc
  [ -e $misc/qemu-i386 ] && echo -1 | $SUDO tee $misc/qemu-i386 >/dev/null
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
    $SUDO tee $misc/register >/dev/null
  /usr/lib/wine/wine --version >/dev/null
fi
