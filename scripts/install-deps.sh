#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named needs is missing:
#   build  cmake, g++, make
#   test   the above, GoogleTest, clang-format, strace, ntfs-3g, exFAT through FUSE,
#          the GBK locale
#   win32  the mingw-w64 cross compilers, zip and unzip for its package, Wine for
#          32-bit and 64-bit programs, and qemu-user where the kernel cannot run
#          32-bit code itself
#   bench  hyperfine, GNU time and jq
# How it rides out a package mirror caught mid-sync, and a machine without 32-bit
# Wine: docs/developing.md, "A package mirror caught mid-sync".
set -euo pipefail

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
need() { installed "$1" || packages+=("$1"); }

need_build() { need cmake; need g++; need make; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

# apt-get update fails as a whole when any one index fails. Three tries, 5 s
# apart, ride out a fetch that failed by chance; a mirror mid-sync may stay so
# for hours, longer than a set-up can wait, so then it goes on with the indexes
# that came whole. The variable named gets the suites whose i386 index failed,
# one a line.
update_indexes() {  # name of that variable
  local -n skewed=$1
  local log try
  log=$(mktemp)
  for try in 1 2 3; do
    if $sudo apt-get update -q >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -eq 3 ] || sleep 5
  done
  cat "$log"
  local failed
  failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\)  *\(.*\)$/\1|\2/p' "$log")
  if [ -z "$failed" ]; then
    echo "install-deps.sh: apt-get update failed (above); going on with the package lists at hand." >&2
  fi
  local url why
  while IFS='|' read -r url why; do
    [ -n "$url" ] || continue
    why=${why%% \[IP:*}
    echo "install-deps.sh: index $url not fetched ($why); going on with the others." >&2
    if [[ $url == */dists/*/binary-i386/* ]]; then
      url=${url#*/dists/}
      skewed+="${url%%/*}"$'\n'
    fi
  done <<<"$failed"
  rm -f "$log"
}

# The packages that a Multi-Arch: same twin blocks, as an install's simulation
# names them: "Depends: NAME:i386 ... but it is not going to be installed".
blocked_i386() {
  sed -n 's/.*Depends: \([^ :]*\):i386.*not going to be installed.*/\1/p' "$1" | sort -u
}

# For each blocked package whose amd64 side is at a version that i386 is not
# offered at, both sides at the version i386 is offered at.
same_versions() {  # simulation's log, apt option...
  local log=$1 name i386 amd64
  shift
  for name in $(blocked_i386 "$log"); do
    i386=$(apt-cache "$@" policy "$name:i386" | sed -n 's/^ *Candidate: //p')
    amd64=$(apt-cache "$@" policy "$name:amd64" | sed -n 's/^ *Installed: //p')
    if [ -n "$i386" ] && [ "$i386" != "(none)" ] && [ -n "$amd64" ] && [ "$amd64" != "(none)" ] &&
      [ "$amd64" != "$i386" ] && apt-cache "$@" show "$name:amd64=$i386" >/dev/null 2>&1; then
      echo "$name:amd64=$i386 $name:i386=$i386"
    fi
  done
}

# 32-bit Wine's i386 libraries must have the very versions of their amd64 twins
# (Multi-Arch: same). Where an i386 index is missing, the amd64 side may be
# newer than anything i386 is offered at: for this install alone, the suites
# lacking their i386 index count below the others, and each package that still
# blocks is asked for at the version both architectures have. Prints what to
# ask apt for, the package first, and leaves the preferences in the folder.
one_version() {  # preferences folder, package, suites lacking their i386 index...
  local prefs=$1 wanted=("$2") suite log round more
  shift 2
  # The machine's own preferences stay in force, beside these for this call.
  cp -a /etc/apt/preferences.d/. "$prefs/" 2>/dev/null || true
  # The index's URL names the suite by its codename (n=) or by its name (a=, stable-updates).
  for suite in "$@"; do
    printf 'Package: *\nPin: release %s=%s\nPin-Priority: 100\n\n' n "$suite" a "$suite"
  done >"$prefs/zz-joiner-skew.pref"
  local pin=(-o "Dir::Etc::PreferencesParts=$prefs")
  log=$(mktemp)
  for round in 1 2 3 4 5; do
    if DEBIAN_FRONTEND=noninteractive apt-get "${pin[@]}" install -s -q --no-install-recommends \
      --allow-downgrades "${wanted[@]}" >"$log" 2>&1; then
      break
    fi
    more=$(same_versions "$log" "${pin[@]}")
    [ -n "$more" ] || break
    # shellcheck disable=SC2206
    wanted+=($more)
  done
  rm -f "$log"
  echo "${wanted[*]}"
}

install_i386_wine() {  # suites lacking their i386 index...
  apt_install wine32:i386 && return 0
  local prefs wanted status=0
  prefs=$(mktemp -d)
  wanted=$(one_version "$prefs" wine32:i386 "$@")
  echo "install-deps.sh: 32-bit Wine once more, with one version for both architectures: $wanted"
  # shellcheck disable=SC2086
  apt_install -o "Dir::Etc::PreferencesParts=$prefs" --allow-downgrades $wanted || status=$?
  rm -rf "$prefs"
  return "$status"
}

# Sourced (scripts/test-i386-rounds.sh), it only defines the above.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

packages=()
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

wine32_wanted=no
if [[ " $* " == *" win32 "* ]] && ! installed wine32:i386; then
  $sudo dpkg --add-architecture i386
  wine32_wanted=yes
fi

skewed_suites=""
if [ ${#packages[@]} -gt 0 ] || [ "$wine32_wanted" = yes ]; then
  update_indexes skewed_suites
fi
if [ ${#packages[@]} -gt 0 ]; then
  apt_install "${packages[@]}"
fi
# shellcheck disable=SC2086
if [ "$wine32_wanted" = yes ] && ! install_i386_wine $skewed_suites; then
  echo "install-deps.sh: 32-bit Wine (wine32:i386) cannot be installed here (above): the" \
    "Windows program can be tested only in its 64-bit build." >&2
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
if [[ " $* " == *" win32 "* ]] && installed wine32:i386 &&
  ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  routes=$(dirname "$0")/i386-routes.sh
  $sudo bash -c "source '$routes' && register_qemu qemu-i386" ||
    echo "binfmt_misc cannot be mounted here: 32-bit Windows programs cannot run under Wine." >&2
fi
