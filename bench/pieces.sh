#!/usr/bin/env bash
# The run-in-pieces benchmark at scale: a trace of 10^6 objects over 64
# steps (about 3.5 GB, fixed seed), cut into 64 parse ranges so that every
# part holds every object; then five rounds in one loop, each timing the
# plan and, for 4, 16 and 64 merges, the first merge of the plan's ranges.
# What a merge costs is what grows with merges × parts × objects when every
# merge reads every part's whole index, and with its own share otherwise.
# Prints, per piece, the median wall time with the spread (min-max) and the
# peak resident memory; then the parse pieces' (timed once) and the files'
# sizes.
#
#   bench/pieces.sh [BUILD_DIR]      (default: build)
#
# Needs GNU time and about 9 GB of free disk (the trace and its parts).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
objects=1000000
parts=64
rounds=5
needbuilt "$build"
work=$(realpath "$build")/bench/pieces
mkdir -p "$work"
cd "$work"
[ -f m.txt ] || "$gen" --seed 11 --objects $objects --steps $parts -o m.txt
size=$(stat -c %s m.txt)
chunk=$(((size + parts - 1) / parts))
opts="--objects $objects --memory-limit 256M"

rm -rf w && mkdir w
parsewall=0 parsekb=0
for ((s = 0; s < size; s += chunk)); do
  measure "$cellfreq" --work w --parse-range $s:$((s + chunk)) $opts m.txt
  parsewall=$(echo "$parsewall + $wall" | bc)
  ((kb > parsekb)) && parsekb=$kb
done

declare -A times mem
for ((r = 0; r < rounds; r++)); do
  measure "$cellfreq" --work w --plan 1 $opts m.txt >/dev/null
  times[plan]+="$wall " mem[plan]=$kb
  for m in 4 16 64; do
    range=$("$cellfreq" --work w --plan $m $opts m.txt | head -1)
    measure "$cellfreq" --work w --merge-users "$range" $opts m.txt
    times[merge$m]+="$wall " mem[merge$m]=$kb
  done
done
printf '%-22s %s\n' "parse, $parts pieces" "$parsewall s in all, peak $((parsekb / 1024)) MiB"
for k in plan merge4 merge16 merge64; do
  t=${times[$k]}
  printf '%-22s %s s (%s-%s), peak %s MiB\n' "$k" "$(median "$t")" "$(lo "$t")" "$(hi "$t")" $((mem[$k] / 1024))
done
du -b w/part-0.bin w/plan.bin | awk '{ printf "%-22s %d bytes\n", $2, $1 }'
