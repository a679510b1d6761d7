#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the end-to-end table on
# NTFS through FUSE and against the Windows program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test win32

echo "== format"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows program"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2
# Wine runs the 32-bit program where this machine can run 32-bit code, itself
# or through qemu-user (install-deps.sh sets that up). Where neither can, the
# same sources built for 64-bit Windows stand in.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  windows_exe=$PWD/build/win32/joiner.exe
  wine_loader=/usr/lib/wine/wine
  echo "Wine tests the 32-bit program that ships: build/win32/joiner.exe."
else
  echo "This machine cannot run 32-bit code: Wine tests the 64-bit build of the same sources,"
  echo "build/win64/joiner.exe, not the 32-bit program that ships."
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j2
  windows_exe=$PWD/build/win64/joiner.exe
  wine_loader=/usr/lib/wine/wine64
fi

# A filesystem without unnamed files, where the output is joined under a
# temporary name: NTFS through ntfs-3g (FUSE), on an image in the build folder.
fuse_dir=$PWD/build/ntfs
mountpoint -q "$fuse_dir" && umount "$fuse_dir"
mkdir -p "$fuse_dir"
rm -f build/ntfs.img
truncate -s 256M build/ntfs.img
if mkntfs -F -Q -q build/ntfs.img >/dev/null 2>&1 && ntfs-3g build/ntfs.img "$fuse_dir" 2>/dev/null; then
  trap 'umount "$fuse_dir"' EXIT
else
  echo "No FUSE here: the named temporary file is tested under Wine only."
  fuse_dir=""
fi

echo "== native, on NTFS through FUSE, and under Wine"
cmake --preset linux -DJOINER_WINDOWS_EXE="$windows_exe" -DJOINER_WINE="$wine_loader" \
  -DJOINER_FUSE_DIR="$fuse_dir" >/dev/null
cmake --build --preset linux -j2
ctest --preset linux

echo "== sanitizers"
cmake --preset asan >/dev/null
cmake --build --preset asan -j2
ctest --preset asan

