#!/usr/bin/env bash
# The memory-budget and cluster benchmark: a 1 GB fleet (fixed seed) and a
# large one (10 GB by default) written by tracegen; then five rounds in one
# loop, each running the copy floor `cat trace > file` on the 1 GB trace (the
# baseline), cellfreq on
# it without a limit and with --memory-limit 256M, cellfreq on the large
# trace with --memory-limit 512M, and cellfreq-dask on the 1 GB trace with
# a local cluster of two workers. Prints, per run, the median wall time
# with the spread (min-max), the peak resident memory, the time per GB and
# its ratio to the unlimited run's; then the phases of the last cluster run.
#
#   bench/budget.sh [BUILD_DIR] [LARGE_GB]      (default: build 10)
#
# Needs GNU time (Debian package "time"), about 3 × LARGE_GB of free disk
# (the trace, its report and the spilled records) and, for the cluster
# run, Debian's python3-distributed.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
gb=${2:-10}
objects=1000
rounds=5
needbuilt "$build"
dask=$(realpath "$(dirname "$0")/../tools/dask/cellfreq_dask.py")
work=$(realpath "$build")/bench/budget
mkdir -p "$work"
cd "$work"

# About 55 bytes a TAB line: the number of steps that gives the sizes.
[ -f one.txt ] || "$gen" --seed 11 --objects $objects --steps $((1000000000 / 55 / objects)) -o one.txt
[ -f large.txt ] || "$gen" --seed 11 --objects $objects --steps $((gb * 1000000000 / 55 / objects)) -o large.txt
onegb=$(echo "$(stat -c %s one.txt) / 1000000000" | bc -l)
largegb=$(echo "$(stat -c %s large.txt) / 1000000000" | bc -l)

declare -A runs=(
  [copy]="cat one.txt >copy.txt"
  [memory]="$cellfreq -o report.txt one.txt"
  [limit-256M]="$cellfreq --memory-limit 256M -o report.txt one.txt"
  [large-512M]="$cellfreq --memory-limit 512M -o report.txt large.txt"
  [dask-2]="$dask --local-cluster 2 --cellfreq $cellfreq --progress -o report.txt one.txt"
)
declare -A size=([copy]=$onegb [memory]=$onegb [limit-256M]=$onegb [large-512M]=$largegb [dask-2]=$onegb)
order=(copy memory limit-256M large-512M dask-2)

cat one.txt >/dev/null  # warm the page cache
declare -A walls rss
for ((r = 1; r <= rounds; r++)); do
  for name in "${order[@]}"; do
    measure sh -c "${runs[$name]}" >/dev/null 2>phases.txt
    walls[$name]+="$wall "
    rss[$name]=$kb
  done
done

permem=$(echo "$(median "${walls[memory]}") / $onegb" | bc -l)
printf '%s\n' "fleet: $objects objects; one.txt $(du -m one.txt | cut -f1) MB, large.txt $(du -m large.txt | cut -f1) MB;" \
  "median of $rounds rounds; peak of the cluster run: the client only"
printf '%-12s %9s %15s %9s %9s %9s\n' run median_s spread_s peak_MiB s_per_GB x_memory
for name in "${order[@]}"; do
  m=$(median "${walls[$name]}")
  pergb=$(echo "$m / ${size[$name]}" | bc -l)
  printf '%-12s %9.2f %7.2f-%-7.2f %9.0f %9.2f %9.2f\n' "$name" "$m" "$(lo "${walls[$name]}")" "$(hi "${walls[$name]}")" \
    "$(echo "${rss[$name]} / 1024" | bc -l)" "$pergb" "$(echo "$pergb / $permem" | bc -l)"
done
echo "phases of the last cluster run:"
cat phases.txt
