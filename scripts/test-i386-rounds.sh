#!/usr/bin/env bash
# install-deps.sh's rounds for 32-bit Wine against a version skew, offline, on made-up packages.
# A local source's suite stable-updates (its Release's codename is another) has no i386 index,
# as where a mirror mid-sync failed it, and the URL names it by its suite. A dpkg status of this
# test's own holds the amd64 side of a Multi-Arch: same library at that suite's version, which
# i386 is not offered at: a simulated install of the i386 package is blocked. The rounds must put
# the suite below the others (so that a library new to both sides comes at one version), find
# the library that blocks, and ask for both its sides at the i386 version. apt runs on lists and
# a status of the test's own (APT_CONFIG) and only simulates: nothing is installed, and the
# machine's sources and preferences stay as they were.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
apt_state() { ls -l /etc/apt/preferences.d /etc/apt/sources.list.d; md5sum /etc/apt/sources.list* \
  /etc/apt/sources.list.d/* /etc/apt/preferences* 2>/dev/null || true; }
before=$(apt_state)

made_up() {  # name, version, architecture, fields more
  printf 'Package: %s\nVersion: %s\nArchitecture: %s\n%s\n' "$1" "$2" "$3" "$4"
  printf 'Maintainer: none <none@example.org>\nFilename: pool/none.deb\nSize: 1\n'
  printf 'Description: made up\n\n'
}
library() { made_up "$1" "$2" "$3" "Multi-Arch: same"; }
# A suite: a Packages for each architecture given, and a Release that promises them.
suite() {  # repository, directory name, codename, amd64's packages, i386's (none: no index)
  local dir=$1/dists/$2 codename=$3 arch archs="" sums="" file
  shift 3
  for arch in amd64 i386; do
    [ $# -gt 0 ] || break
    file=$dir/main/binary-$arch/Packages
    mkdir -p "${file%/*}"
    printf '%s\n' "$1" >"$file"
    shift
    archs+=" $arch"
    sums+=$'\n'" $(sha256sum <"$file" | cut -d' ' -f1) $(stat -c %s "$file") ${file#"$dir"/}"
  done
  printf 'Suite: %s\nCodename: %s\nArchitectures:%s\nComponents: main\nSHA256:%s\n' \
    "${dir##*/}" "$codename" "$archs" "$sums" >"$dir/Release"
}
# Both sides at 1.0 in stable; the amd64 side alone at 2.0 in stable-updates, libfoo installed so.
suite "$work/repo" stable bookworm \
  "$(library libfoo 1.0 amd64; library libnew 1.0 amd64
    made_up helper 1.0 all $'Multi-Arch: foreign\nDepends: libnew')" \
  "$(library libfoo 1.0 i386; library libnew 1.0 i386
    made_up target 1.0 i386 "Depends: libfoo, libnew, helper")"
suite "$work/repo" stable-updates bookworm-updates "$(library libfoo 2.0 amd64; library libnew 2.0 amd64)"
library libfoo 2.0 amd64 | sed 's/^Version/Status: install ok installed\nVersion/' >"$work/status"
echo "deb [trusted=yes] file:$work/repo stable main
deb [trusted=yes] file:$work/repo stable-updates main" >"$work/sources.list"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/prefs"
cat >"$work/apt.conf" <<END
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/parts";
Dir::State::Lists "$work/lists";
Dir::State::status "$work/status";
Dir::State::extended_states "$work/extended_states";
Dir::Cache "$work/cache";
APT::Architecture "amd64";
APT::Architectures { "amd64"; "i386"; };
END
export APT_CONFIG=$work/apt.conf
apt-get update -q >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }

source scripts/install-deps.sh
wanted=$(one_version "$work/prefs" target:i386 stable-updates)
expected="target:i386 libfoo:amd64=1.0 libfoo:i386=1.0"
pin=(-o "Dir::Etc::PreferencesParts=$work/prefs")
apt-get "${pin[@]}" install -s -q target:i386 >"$work/first" 2>&1 || true
read -ra asked <<<"$wanted"
status=0
apt-get "${pin[@]}" install -s -q --allow-downgrades "${asked[@]}" >"$work/last" 2>&1 || status=$?
if [ "$wanted" != "$expected" ] || [ "$status" -ne 0 ] || [ "$(apt_state)" != "$before" ]; then
  cat "$work/first" "$work/last"
  echo "install-deps.sh's rounds against a version skew asked for: $wanted (expected:" \
    "$expected); a simulated install of that exits $status; apt's sources and preferences" \
    "$([ "$(apt_state)" = "$before" ] && echo "as found" || echo "changed")."
  exit 1
fi
grep 'Depends:' "$work/first"
grep '^Inst' "$work/last"
echo "install-deps.sh's rounds, against a version skew: $wanted."
