#!/usr/bin/env bash
# Times the tool against cat joining the same files in the same order, both
# plain cat and its durable peer, cat then sync of the output (the tool puts
# its output on stable storage before it says it is complete), and reports
# the tool's peak memory. Usage: bench/bench.sh [rounds]
# With BENCH_BEFORE naming another build of the tool (an earlier commit's),
# that one runs beside it in the same rounds, for a side-by-side comparison.
# Each round runs the commands a few times; rounds alternate their order, so
# that a slow spell of the machine falls on all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
bash scripts/install-deps.sh bench
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target joiner >/dev/null
tool_bin=$PWD/build/linux/joiner

work=$(mktemp -d "${BENCH_DIR:-/tmp}/joiner-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf k >"$work/key"

# make_scenario NAME COUNT BYTES: COUNT pieces of BYTES each, named in counter order.
make_scenario() {
  local dir=$work/$1
  mkdir -p "$dir/tool"
  cp "$tool_bin" "$dir/tool/joiner"
  # A plain folder among the pieces, which no listing takes.
  if [ -n "${BENCH_BEFORE:-}" ]; then mkdir -p "$dir/before" && cp "$BENCH_BEFORE" "$dir/before/joiner"; fi
  (
    cd "$dir"
    seq 1 "$2" | sed 's/.*/p.k_&.s/' >"$work/$1.names"
    if [ "$3" -eq 0 ]; then
      xargs -a "$work/$1.names" touch
    else
      head -c "$3" /dev/urandom >"$work/piece"
      while read -r name; do cp "$work/piece" "$name"; done <"$work/$1.names"
    fi
  )
}

# The median of all runs of the command named $1 in scenario $2, over every round.
median() {
  jq -s "[.[].results[] | select(.command == \"$1\") | .times[]] | sort | .[length / 2 | floor]" \
    "$work/$2.round"*.json
}

printf '%-30s %9s %9s %9s %6s %6s %9s %9s\n' scenario tool cat "cat+sync" "/cat" "/sync" "peak RSS" \
  "${BENCH_BEFORE:+before}"
run_scenario() {
  local name=$1 label=$2 runs=$3 dir=$work/$1
  local tool="$dir/tool/joiner <$work/key" cat="xargs -a $work/$name.names cat >$work/cat.out"
  local synced="$cat && sync $work/cat.out"
  for r in $(seq 1 "$rounds"); do
    local order=(-n tool "$tool" -n cat "$cat" -n synced "$synced")
    [ -z "${BENCH_BEFORE:-}" ] || order+=(-n before "$dir/before/joiner <$work/key")
    if [ $((r % 2)) -eq 0 ]; then
      local reversed=()
      # Each command is three words: -n, its name, its line.
      for ((i = ${#order[@]} - 3; i >= 0; i -= 3)); do reversed+=("${order[@]:i:3}"); done
      order=("${reversed[@]}")
    fi
    (cd "$dir" && hyperfine --style none --runs "$runs" --warmup 1 \
      --prepare "rm -f $dir/p.k $work/cat.out; sync" "${order[@]}" \
      --export-json "$work/$name.round$r.json" >/dev/null 2>&1)
  done
  rm -f "$dir/p.k"
  local rss
  rss=$(cd "$dir" && /usr/bin/time -f %M tool/joiner <"$work/key" 2>&1 >/dev/null | tail -n 1)
  rm -f "$dir/p.k"
  local before=""
  [ -z "${BENCH_BEFORE:-}" ] || before=$(median before "$name")
  awk -v n="$label" -v t="$(median tool "$name")" -v c="$(median cat "$name")" \
    -v s="$(median synced "$name")" -v m="$rss" -v b="$before" \
    'BEGIN { printf "%-30s %7.3f s %7.3f s %7.3f s %6.2f %6.2f %5.1f MiB", n, t, c, s, t / c, t / s, m / 1024
             if (b != "") printf " %7.3f s", b
             printf "\n" }'
}

make_scenario large 64 $((16 << 20))
run_scenario large "1 GiB in 64 pieces of 16 MiB" 3
rm -rf "$work/large"
make_scenario small 20000 4096
run_scenario small "20,000 pieces of 4 KiB" 3
rm -rf "$work/small"
make_scenario empty 100000 0
run_scenario empty "100,000 empty pieces" 2
