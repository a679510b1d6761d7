#!/usr/bin/env bash
# Times the tool against cat joining the same files in the same order, both
# plain cat and its durable peer, cat then sync of the output (the tool puts
# its output on stable storage before it says it is complete). For every
# command: the median wall time, the mean user and system time, the wall
# time's ratios to cat and to cat + sync, and for every build of the tool its
# peak memory. Usage: bench/bench.sh [rounds]
# BENCH_BEFORE names earlier builds of the tool (other commits'), separated by
# spaces, each NAME=PATH (a bare PATH is named "before"): they run beside it in
# the same rounds, for a side-by-side comparison.
# Each round runs every command once (the first round after a warm-up run);
# rounds alternate their order, so that a slow spell of the machine, which
# another user's load brings for seconds, falls on all of them alike.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-9}

builds=() # NAME=PATH, the earlier builds
for entry in ${BENCH_BEFORE:-}; do
  [[ $entry == *=* ]] || entry=before=$entry
  name=${entry%%=*}
  if [[ ! $name =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ || $name =~ ^(tool|cat|synced)$ ]]; then
    echo "bench.sh: BENCH_BEFORE: \"$name\" cannot name a build (a plain word, not tool, cat or synced)" >&2
    exit 2
  fi
  [ -x "${entry#*=}" ] || { echo "bench.sh: BENCH_BEFORE: no program at ${entry#*=}" >&2; exit 2; }
  builds+=("$entry")
done

bash scripts/install-deps.sh bench
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target joiner >/dev/null
tool_bin=$PWD/build/linux/joiner

work=$(mktemp -d "${BENCH_DIR:-/tmp}/joiner-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf k >"$work/key"

# make_scenario NAME COUNT BYTES: COUNT pieces of BYTES each, named in counter order.
make_scenario() {
  local dir=$work/$1 build
  mkdir -p "$dir/tool"
  cp "$tool_bin" "$dir/tool/joiner"
  # Each in a plain folder among the pieces, which no listing takes.
  for build in "${builds[@]}"; do
    mkdir -p "$dir/${build%%=*}"
    cp "${build#*=}" "$dir/${build%%=*}/joiner"
  done
  (
    cd "$dir"
    seq 1 "$2" | sed 's/.*/p.k_&.s/' >"$work/$1.names"
    if [ "$3" -eq 0 ]; then
      xargs -a "$work/$1.names" touch
    elif [ "$3" -eq 1 ]; then
      # Written by the shell itself: 100,000 runs of cp would take minutes.
      while read -r name; do printf x >"$name"; done <"$work/$1.names"
    else
      head -c "$3" /dev/urandom >"$work/piece"
      while read -r name; do cp "$work/piece" "$name"; done <"$work/$1.names"
    fi
  )
}

# The median wall time of all runs of the command named $1 in scenario $2, over every round.
median() {
  jq -s "[.[].results[] | select(.command == \"$1\") | .times[]] | sort | .[length / 2 | floor]" \
    "$work/$2.round"*.json
}

# The mean of hyperfine's $3 (user or system) for the command named $1 in scenario $2.
mean() {
  jq -s "[.[].results[] | select(.command == \"$1\") | .$3] | add / length" "$work/$2.round"*.json
}

# The peak resident memory, in KiB, of the build in folder $1 joining scenario $2.
peak_rss() {
  rm -f "$work/$2/p.k"
  (cd "$work/$2" && /usr/bin/time -f %M "$1/joiner" <"$work/key" 2>&1 >/dev/null | tail -n 1)
  rm -f "$work/$2/p.k"
}

printf '%-28s %9s %9s %9s %6s %6s %9s\n' "" wall user system /cat /sync "peak RSS"
run_scenario() {
  local name=$1 label=$2 dir=$work/$1 build
  local cat="xargs -a $work/$name.names cat >$work/cat.out"
  local order=(-n tool "$dir/tool/joiner <$work/key")
  for build in "${builds[@]}"; do order+=(-n "${build%%=*}" "$dir/${build%%=*}/joiner <$work/key"); done
  order+=(-n cat "$cat" -n synced "$cat && sync $work/cat.out")
  for r in $(seq 1 "$rounds"); do
    local this=("${order[@]}")
    if [ $((r % 2)) -eq 0 ]; then
      this=()
      # Each command is three words: -n, its name, its line.
      for ((i = ${#order[@]} - 3; i >= 0; i -= 3)); do this+=("${order[@]:i:3}"); done
    fi
    (cd "$dir" && hyperfine --style none --runs 1 --warmup $((r == 1)) \
      --prepare "rm -f $dir/p.k $work/cat.out; sync" "${this[@]}" \
      --export-json "$work/$name.round$r.json" >/dev/null 2>&1)
  done
  rm -f "$dir/p.k"
  echo "$label ($rounds runs each)"
  local c s command
  c=$(median cat "$name")
  s=$(median synced "$name")
  for ((i = 1; i < ${#order[@]}; i += 3)); do
    command=${order[i]}
    local rss=""
    [[ $command =~ ^(cat|synced)$ ]] || rss=$(peak_rss "$dir/$command" "$name")
    awk -v n="$([ "$command" = synced ] && echo "cat + sync" || echo "$command")" \
      -v t="$(median "$command" "$name")" -v u="$(mean "$command" "$name" user)" \
      -v y="$(mean "$command" "$name" system)" -v c="$c" -v s="$s" -v m="$rss" \
      'BEGIN { printf "  %-26s %7.3f s %7.3f s %7.3f s %6.2f %6.2f", n, t, u, y, t / c, t / s
               if (m != "") printf " %5.1f MiB", m / 1024
               printf "\n" }'
  done
}

make_scenario large 64 $((16 << 20))
run_scenario large "1 GiB in 64 pieces of 16 MiB"
rm -rf "$work/large"
make_scenario small 20000 4096
run_scenario small "20,000 pieces of 4 KiB"
rm -rf "$work/small"
make_scenario one 100000 1
run_scenario one "100,000 pieces of 1 byte"
rm -rf "$work/one"
make_scenario empty 100000 0
run_scenario empty "100,000 empty pieces"
