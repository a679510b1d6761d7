#!/usr/bin/env bash
# Builds the tool, makes a folder of numbered pieces with the tool's folder
# inside it, and runs the tool there as a user would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target joiner >/dev/null

sample=$(mktemp -d)
mkdir "$sample/tool"
cp build/linux/joiner "$sample/tool/"
for i in $(seq 1 12); do
  head -c $((i * 1000)) /dev/urandom >"$sample/movie.flv_$i.tmp"
done

echo "Folder: $sample"
# The console speaks GBK; show it in the terminal's UTF-8 where iconv can.
show() { if command -v iconv >/dev/null; then iconv -f GBK -t UTF-8; else cat; fi; }
echo | "$sample/tool/joiner" 2>&1 | show
echo
cat "$sample"/movie.flv_{1..12}.tmp | cmp - "$sample/movie.flv" && echo "movie.flv equals the pieces joined in order."
echo "Run it again: the output is there already."
echo | "$sample/tool/joiner" 2>&1 | show
rm -rf "$sample"
