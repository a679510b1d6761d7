#!/usr/bin/env bash
# install-deps.sh against a package source caught mid-sync, offline: one suite
# serves unzip (a package it needs, removed first), another's Release promises
# a Packages file of another size, as a mirror mid-sync does. install-deps.sh
# must put unzip back and name the index that failed. apt runs on lists of
# this test's own (APT_CONFIG), so the machine's sources, preferences and
# package lists stay as they were; unzip is put back whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
package=unzip
version=$(dpkg-query -W -f='${Version}' "$package")
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
apt_state() { ls -l /etc/apt/preferences.d /etc/apt/sources.list.d; md5sum /etc/apt/sources.list* \
  /etc/apt/sources.list.d/* /etc/apt/preferences* 2>/dev/null || true; }
before=$(apt_state)

deb=$(ls /var/cache/apt/archives/"${package}_${version//:/%3a}_$arch.deb" 2>/dev/null || true)
if [ -z "$deb" ]; then
  # The one download, through the machine's own sources, before the test goes offline.
  (cd "$work" && apt-get download -q "$package=$version" >/dev/null)
  deb=$(ls "$work"/"${package}"_*.deb)
fi
restore() {
  installed=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$installed" = "install ok installed" ] || dpkg -i "$deb" >/dev/null
  rm -rf "$work"
}
trap restore EXIT

# A suite: its Packages, and a Release that promises it at size (default: its own).
suite() {  # name, Packages content, size promised
  local dir=$work/repo/dists/$1/main/binary-$arch
  mkdir -p "$dir"
  printf '%s' "$2" >"$dir/Packages"
  local size=${3:-$(stat -c %s "$dir/Packages")}
  local sum
  sum=$(sha256sum "$dir/Packages" | cut -d' ' -f1)
  printf 'Codename: %s\nSuite: %s\nArchitectures: %s\nComponents: main\nSHA256:\n %s %s main/binary-%s/Packages\n' \
    "$1" "$1" "$arch" "$sum" "$size" "$arch" >"$work/repo/dists/$1/Release"
}
mkdir -p "$work/repo/pool"
cp "$deb" "$work/repo/pool/"
stanza="$(dpkg-deb -f "$deb")
Filename: pool/${deb##*/}
Size: $(stat -c %s "$deb")
SHA256: $(sha256sum "$deb" | cut -d' ' -f1)
"
suite whole "$stanza"
suite syncing "$stanza" 99
echo "deb [trusted=yes] file:$work/repo whole main
deb [trusted=yes] file:$work/repo syncing main" >"$work/sources.list"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
cat >"$work/apt.conf" <<END
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/parts";
Dir::State::Lists "$work/lists";
Dir::Cache "$work/cache";
END

dpkg -r "$package" >/dev/null
status=0
APT_CONFIG=$work/apt.conf bash scripts/install-deps.sh win32 >"$work/log" 2>&1 || status=$?
ours=$(grep -c '^install-deps.sh: index .*syncing.* not fetched' "$work/log" || true)
now=$(dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null || true)
if [ "$status" -ne 0 ] || [ "$ours" -ne 1 ] || [ "$now" != "install ok installed $version" ] ||
  [ "$(apt_state)" != "$before" ]; then
  cat "$work/log"
  echo "install-deps.sh against a source mid-sync: exit $status, $ours lines naming the" \
    "failed index, $package: ${now:-not installed}; apt's sources and preferences" \
    "$([ "$(apt_state)" = "$before" ] && echo "as found" || echo "changed")."
  exit 1
fi
grep '^install-deps.sh: index' "$work/log"
echo "install-deps.sh rode out a source mid-sync: $package $version back, exit 0."
