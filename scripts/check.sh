#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the end-to-end table on
# NTFS and exFAT through FUSE and against the Windows program under Wine.
# Needs root: it installs packages, mounts images and registers qemu-user for
# one run of the Wine table where the kernel runs 32-bit code itself.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "check.sh needs root: it installs packages, mounts filesystem images and registers qemu-user." >&2
  exit 1
fi
bash scripts/install-deps.sh test win32

echo "== the set-up against a package source caught mid-sync"
bash scripts/test-install-deps.sh
echo "== the set-up's rounds for 32-bit Wine against a version skew"
bash scripts/test-i386-rounds.sh

echo "== format"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows program"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2
# Wine runs the 32-bit program where this machine can run 32-bit code, itself
# or through qemu-user (install-deps.sh sets that up). Where neither can, the
# same sources built for 64-bit Windows stand in.
source scripts/i386-routes.sh
# What this run mounts, to be unmounted however it ends.
mounted=()
binfmt_mounted=no
[ -e "$binfmt/register" ] || binfmt_mounted=yes
# The routes as they were found: no qemu-user entry of ours, and one that was
# there and on, on.
qemu_found=$(head -n 1 "$binfmt/qemu-i386" 2>/dev/null || true)
restore_routes() {
  remove_qemu joiner-check || echo "Could not remove the binfmt_misc entry joiner-check."
  [ "$qemu_found" != enabled ] || echo 1 >"$binfmt/qemu-i386" ||
    echo "Could not switch the binfmt_misc entry qemu-i386 back on."
}
# Which Windows program the Wine table runs against, said last, whichever way the run ends.
wine_tested=""
# And the machine as it was found: every step undone, whichever of them fails.
cleanup() {
  set +e
  for dir in "${mounted[@]}"; do
    if mountpoint -q "$dir" && ! umount "$dir"; then echo "Could not unmount $dir."; fi
  done
  restore_routes
  if [ "$binfmt_mounted" = yes ] && mountpoint -q "$binfmt" && ! umount "$binfmt"; then
    echo "Could not unmount $binfmt."
  fi
  [ -z "$wine_tested" ] || echo "$wine_tested"
}
trap cleanup EXIT
route=$(i386_route)
if [ "$route" != none ]; then
  windows_exe=$PWD/build/win32/joiner.exe
  wine_loader=/usr/lib/wine/wine
  wine_tested="The Windows program under Wine: build/win32/joiner.exe, the 32-bit one that ships."
  echo "Wine tests the 32-bit program that ships, build/win32/joiner.exe; i386 programs run $route."
else
  why="this machine runs no 32-bit code, neither itself nor through qemu-user"
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' ||
    why="32-bit Wine (wine32:i386) could not be installed (install-deps.sh said why, above)"
  wine_tested="The Windows program under Wine: build/win64/joiner.exe, the 64-bit build of the same
sources. The 32-bit program that ships, build/win32/joiner.exe, was not tested: $why."
  echo "$wine_tested"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j2
  windows_exe=$PWD/build/win64/joiner.exe
  wine_loader=/usr/lib/wine/wine64
fi

# Filesystems without unnamed files, where the output is joined under a
# temporary name and published by a rename: NTFS through ntfs-3g, and exFAT
# through exfat-fuse, which has no hard links either. Both are FUSE drives on
# images in the build folder, as a USB disk is on machines without a kernel
# driver for it.
fuse_dirs=()
mount_image() {  # name, mkfs command, mount command
  local dir=$PWD/build/$1 image=$PWD/build/$1.img
  mountpoint -q "$dir" && umount "$dir"
  mkdir -p "$dir"
  rm -f "$image"
  truncate -s 256M "$image"
  if $2 "$image" >/dev/null 2>&1 && $3 "$image" "$dir" 2>/dev/null && mountpoint -q "$dir"; then
    fuse_dirs+=("$dir")
    mounted+=("$dir")
  else
    echo "No $1 through FUSE here: its part of the table is left out."
  fi
}
mount_image ntfs "mkntfs -F -Q -q" ntfs-3g
mount_image exfat mkfs.exfat "mount -t exfat-fuse -o loop"
# A full disk for Wine: a file-size limit, which stands for one natively,
# becomes a kill under qemu-user.
small_disk=$PWD/build/small-disk
mkdir -p "$small_disk"
if ! mountpoint -q "$small_disk"; then
  mount -t tmpfs -o size=4m tmpfs "$small_disk"
  mounted+=("$small_disk")
fi

echo "== native, on NTFS and exFAT through FUSE, and under Wine"
cmake --preset linux -DJOINER_WINDOWS_EXE="$windows_exe" -DJOINER_WINE="$wine_loader" \
  -DJOINER_FUSE_DIRS="$(IFS=';'; echo "${fuse_dirs[*]}")" -DJOINER_SMALL_DISK="$small_disk" >/dev/null
cmake --build --preset linux -j2
ctest --preset linux

# CI may get a machine of either kind: the Wine table runs on the other route
# too, where this machine has one.
if [ "$route" = native ] && register_qemu joiner-check && [ "$(i386_route)" = qemu-user ]; then
  echo "== the Wine table again, i386 programs run through qemu-user"
  ctest --preset linux -R end_to_end_wine
  restore_routes
elif [ "$route" = qemu-user ] && [ -e "$binfmt/qemu-i386" ] && echo 0 >"$binfmt/qemu-i386" &&
  [ "$(i386_route)" = native ]; then
  echo "== the Wine table again, i386 programs run natively"
  ctest --preset linux -R end_to_end_wine
  restore_routes
elif [ "$route" != none ]; then
  restore_routes
  echo "i386 programs run $route only here: the Wine table ran on that route alone."
fi

echo "== sanitizers"
cmake --preset asan >/dev/null
cmake --build --preset asan -j2
ctest --preset asan

echo "== the same bytes from the same commit"
# The packages built twice afresh: in folders of other paths, a moment apart,
# under another umask and time zone, yet byte for byte the same.
same=$PWD/build/same-bytes
rm -rf "$same"
packages() {  # build folder
  for preset in linux win32; do
    cmake --preset $preset -B "$1/$preset" -DJOINER_TESTS=OFF >/dev/null
    cmake --build "$1/$preset" -j2 --target package >/dev/null
  done
}
packages "$same/1"
sleep 1
(umask 077 && export TZ=Asia/Shanghai && packages "$same/second build")
(cd "$same/1" && for file in linux/joiner linux/joiner-*-linux-*.tar.gz win32/joiner.exe \
  win32/joiner-*-win32.zip; do cmp "$file" "../second build/$file"; done)
# Each holds one folder, joiner, and nothing else: the program (runnable in the tarball), the
# guide, the licence and the changes.
[ "$(tar -tvzf "$same"/1/linux/joiner-*-linux-*.tar.gz | awk '{print $1, $2, $NF}')" = \
  $'drwxr-xr-x 0/0 joiner/\n-rw-r--r-- 0/0 joiner/CHANGELOG.md\n-rw-r--r-- 0/0 joiner/LICENSE.txt
-rw-r--r-- 0/0 joiner/README.txt\n-rwxr-xr-x 0/0 joiner/joiner' ] ||
  { echo "The tarball holds other than joiner/ with joiner (runnable) and the three texts."; exit 1; }
[ "$(zipinfo -1 "$same"/1/win32/joiner-*-win32.zip)" = \
  $'joiner/\njoiner/CHANGELOG.md\njoiner/LICENSE.txt\njoiner/README.txt\njoiner/joiner.exe' ] ||
  { echo "The zip holds other than joiner/ with joiner.exe and the three texts."; exit 1; }
# The texts: the tarball's as their sources are (the guide as made from the README now), the
# zip's the same with a byte order mark and CRLF line ends, for Notepad.
unpacked=$same/unpacked
mkdir -p "$unpacked/linux" "$unpacked/win32"
tar -xzf "$same"/1/linux/joiner-*-linux-*.tar.gz -C "$unpacked/linux"
unzip -qo "$same"/1/win32/joiner-*-win32.zip -d "$unpacked/win32"
cmake -DGUIDE=ON -DIN=README.md -DOUT="$unpacked/guide.txt" -P cmake/package-text.cmake
if grep -nE '\*\*|`|\]\(|<!--|^#|^\|' "$unpacked/guide.txt"; then
  echo "Markdown left in the guide, above."; exit 1
fi
while IFS='|' read -r name source what; do
  cmp -s "$unpacked/linux/joiner/$name" "$source" ||
    { echo "The tarball's $name is not $what as it is."; exit 1; }
  { printf '\xef\xbb\xbf'; sed 's/$/\r/' "$source"; } | cmp -s - "$unpacked/win32/joiner/$name" ||
    { echo "The zip's $name is not $what with a byte order mark and CRLF line ends."; exit 1; }
done <<END
README.txt|$unpacked/guide.txt|the guide made from README.md
LICENSE.txt|LICENSE|LICENSE
CHANGELOG.md|CHANGELOG.md|CHANGELOG.md
END
# Unpacked among pieces, the program joins them.
for n in 1 2 3; do printf $n >"$unpacked/linux/a.flv_$n.tmp"; done
(cd "$unpacked/linux" && echo | ./joiner/joiner >/dev/null) &&
  [ "$(cat "$unpacked/linux/a.flv")" = 123 ] ||
  { echo "The tarball's joiner, unpacked among three pieces, did not join them."; exit 1; }
echo "The same bytes from two builds: $(cd "$same/1" && echo */joiner-[0-9]*)"
