#!/usr/bin/env bash
# The speed benchmark. For each size (10 MB, 100 MB, 1 GB by default) it
# makes one fleet (fixed seed) as a TAB trace and as CSV in degrees with a
# time column, then runs five rounds in one loop, each with `wc -l` on the
# TAB trace (the baseline), cellfreq400 on it, cellfreq on the TAB trace
# from the file and through a pipe, and cellfreq on the CSV trace, every
# cellfreq run on one core and on two (taskset). The report goes to a file
# on disk, with a warm page cache. Prints the median wall time, the spread
# (min-max), the peak resident memory and the ratio to `wc -l` of the same
# rounds; then the time of each pass of the largest TAB run.
#
#   bench/run.sh [BUILD_DIR] [SIZE_MB ...]      (default: build 10 100 1000)
#
# Needs GNU time (Debian package "time") and taskset (util-linux).
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 100 1000)
needbuilt "$build"
fixed=$(realpath "$build/apps/cellfreq400")
passtimes=$(realpath "$build/bench/passtimes")
rounds=5
objects=$fleet_objects
degrees="--input-format csv --crs EPSG:4326 --x-column lon --y-column lat --time-column time"

printf '%-6s %-22s %9s %13s %9s %7s\n' size run median_s spread_s peak_MiB x_wc
for mb in "${sizes[@]}"; do
  work=$(realpath "$build")/bench/speed-${mb}MB
  mkdir -p "$work/C:"
  cd "$work"
  fleet "$mb" fleet.txt
  fleet "$mb" fleet.csv --format csv
  ln -sf "$work/fleet.txt" "C:/oldenburg(1000).txt"
  declare -A runs=([wc]="wc -l fleet.txt")
  order=(wc)
  for cores in 1 2; do
    pin="taskset -c 0-$((cores - 1))"
    runs[cellfreq400/$cores]="$pin $fixed"
    runs[tab-file/$cores]="$pin $cellfreq --objects $objects -o report.txt fleet.txt"
    runs[tab-pipe/$cores]="$pin sh -c 'cat fleet.txt | $cellfreq --objects $objects -o report.txt -'"
    runs[csv-file/$cores]="$pin $cellfreq $degrees -o report.txt fleet.csv"
    order+=("cellfreq400/$cores" "tab-file/$cores" "tab-pipe/$cores" "csv-file/$cores")
  done
  cat fleet.txt fleet.csv >/dev/null  # warm the page cache
  declare -A walls=() rss=()
  for ((r = 1; r <= rounds; r++)); do
    for name in "${order[@]}"; do
      measure sh -c "${runs[$name]}" >report-stdout.txt 2>/dev/null </dev/null
      walls[$name]+="$wall "
      rss[$name]=$kb
    done
  done
  wcmed=$(median "${walls[wc]}")
  for name in "${order[@]}"; do
    med=$(median "${walls[$name]}")
    printf '%-6s %-22s %9.3f %6.3f-%-6.3f %9.0f %7.1f\n' "${mb}MB" "$name" "$med" "$(lo "${walls[$name]}")" \
      "$(hi "${walls[$name]}")" "$(echo "${rss[$name]} / 1024" | bc -l)" "$(echo "if ($wcmed > 0) $med / $wcmed else 0" | bc -l)"
  done
  rm -f report.txt report-stdout.txt C:/new400.txt
  cd - >/dev/null
done

largest=${sizes[${#sizes[@]} - 1]}
work=$(realpath "$build")/bench/speed-${largest}MB
echo
echo "passes at ${largest}MB (two cores):"
"$passtimes" "$work/fleet.txt" "$work/passes-cells.txt" "$work/passes-report.txt"
rm -f "$work/passes-cells.txt" "$work/passes-report.txt"
