#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named needs is missing:
#   build  cmake, g++, GoogleTest
#   test   the above, clang with libFuzzer, clang-format, the GBK locale
#   win32  the mingw-w64 cross compilers, and Wine for 32-bit and 64-bit programs
#   bench  hyperfine, GNU time and jq
set -euo pipefail

packages=()
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
need() { installed "$1" || packages+=("$1"); }

need_build() { need cmake; need g++; need make; need libgtest-dev; }

for what in "$@"; do
  case "$what" in
    build) need_build ;;
    test) need_build; need clang; need libclang-rt-14-dev; need clang-format; need locales ;;
    win32)
      need g++-mingw-w64-i686; need g++-mingw-w64-x86-64; need wine; need wine64; need locales ;;
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
