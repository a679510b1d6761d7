#!/usr/bin/env bash
# Builds the tool, makes a folder of numbered pieces with the tool's folder
# inside it, and runs the tool there as a user would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target joiner >/dev/null

# The tool writes its messages in the locale's encoding: UTF-8 under a UTF-8
# locale, GBK under any other. A shell with no locale at all (C, as in many
# containers) shows neither, so the demo speaks UTF-8 there.
if [ "$(locale charmap 2>/dev/null)" = ANSI_X3.4-1968 ]; then
  echo "This shell's locale is C; the demo runs the tool under C.UTF-8."
  export LC_ALL=C.UTF-8
fi
# A Chinese title where the names' bytes show as such.
title=movie
[ "$(locale charmap 2>/dev/null)" = UTF-8 ] && title=视频

sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
mkdir "$sample/tool"
cp build/linux/joiner "$sample/tool/"
for i in $(seq 1 12); do
  head -c $((i * 1000)) /dev/urandom >"$sample/$title.flv_$i.tmp"
done

echo "Folder: $sample"
echo | "$sample/tool/joiner"
echo
for i in $(seq 1 12); do cat "$sample/$title.flv_$i.tmp"; done | cmp - "$sample/$title.flv" &&
  echo "$title.flv equals the pieces joined in order."
echo "Run it again: the output is there already."
echo | "$sample/tool/joiner"
