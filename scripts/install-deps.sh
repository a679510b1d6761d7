#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named needs is missing:
#   build  cmake, g++, make
#   test   the above, GoogleTest, clang-format, strace, ntfs-3g, exFAT through FUSE,
#          the GBK locale
#   win32  the mingw-w64 cross compilers, zip and unzip for its package, Wine for
#          32-bit and 64-bit programs, and qemu-user where the kernel cannot run
#          32-bit code itself
#   bench  hyperfine, GNU time and jq
set -euo pipefail

packages=()
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
need() { installed "$1" || packages+=("$1"); }

need_build() { need cmake; need g++; need make; }

for what in "$@"; do
  case "$what" in
    build) need_build ;;
    test)
      need_build; need libgtest-dev; need clang-format; need locales
      need strace; need ntfs-3g; need exfat-fuse; need exfatprogs ;;
    win32)
      need g++-mingw-w64-i686; need g++-mingw-w64-x86-64; need zip; need unzip
      need wine; need wine64; need locales; need qemu-user-static ;;
    bench) need_build; need hyperfine; need time; need jq ;;
  esac
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [[ " $* " == *" win32 "* ]] && ! installed wine32:i386; then
  $sudo dpkg --add-architecture i386
  packages+=("wine32:i386")
fi

if [ ${#packages[@]} -gt 0 ]; then
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

# The tests run under Chinese locales: GBK natively, UTF-8 for Wine's code page 936.
if [[ " $* " == *" test "* || " $* " == *" win32 "* ]]; then
  missing=()
  locale -a | grep -qi '^zh_CN\.gbk$' || missing+=("zh_CN.GBK GBK")
  locale -a | grep -qi '^zh_CN\.utf-\?8$' || missing+=("zh_CN.UTF-8 UTF-8")
  if [ ${#missing[@]} -gt 0 ]; then
    printf '%s\n' "${missing[@]}" | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
  fi
fi

# 32-bit Wine on a kernel without 32-bit support: every i386 program goes
# through qemu-user from now on. A machine that runs 32-bit code itself is left
# as it is (check.sh takes the qemu-user route there for one run only).
if [[ " $* " == *" win32 "* ]] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  routes=$(dirname "$0")/i386-routes.sh
  $sudo bash -c "source '$routes' && register_qemu qemu-i386" ||
    echo "binfmt_misc cannot be mounted here: 32-bit Windows programs cannot run under Wine." >&2
fi
