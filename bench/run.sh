#!/usr/bin/env bash
# The speed benchmark. For each size (10 MB, 100 MB, 1 GB by default) it
# makes one fleet (fixed seed) as a TAB trace and as CSV in degrees with a
# time column, then runs five rounds in one loop, each with the copy floor
# `cat trace > file` (the least that a program reading the trace and
# writing a report of its size must do: the baseline), cellfreq400 on it,
# cellfreq on the TAB trace from the file and through a pipe, and cellfreq
# on the CSV trace, every cellfreq run on one core and on two (taskset).
# The report goes to a file on disk, with a warm page cache. Prints the
# median wall time, the spread (min-max), the peak resident memory, the
# ratio to the copy floor of the same rounds and, on two cores, to the same
# run on one; then the time of each pass of the largest TAB run on one core
# and on two, and what that scaling predicts for 8 and 16 cores.
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

printf '%-6s %-22s %9s %13s %9s %7s %7s\n' size run median_s spread_s peak_MiB x_cat x_1core
for mb in "${sizes[@]}"; do
  work=$(realpath "$build")/bench/speed-${mb}MB
  mkdir -p "$work/C:"
  cd "$work"
  fleet "$mb" fleet.txt
  fleet "$mb" fleet.csv --format csv
  ln -sf "$work/fleet.txt" "C:/oldenburg(1000).txt"
  declare -A runs=([cat]="cat fleet.txt > copy.txt")
  order=(cat)
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
  floor=$(median "${walls[cat]}")
  for name in "${order[@]}"; do
    med=$(median "${walls[$name]}")
    one=$med
    [[ $name == */2 ]] && one=$(median "${walls[${name%/2}/1]}")
    printf '%-6s %-22s %9.3f %6.3f-%-6.3f %9.0f %7.2f %7.2f\n' "${mb}MB" "$name" "$med" "$(lo "${walls[$name]}")" \
      "$(hi "${walls[$name]}")" "$(echo "${rss[$name]} / 1024" | bc -l)" "$(echo "if ($floor > 0) $med / $floor else 0" | bc -l)" \
      "$(echo "if ($one > 0) $med / $one else 0" | bc -l)"
  done
  rm -f report.txt report-stdout.txt copy.txt C:/new400.txt
  cd - >/dev/null
done

largest=${sizes[${#sizes[@]} - 1]}
work=$(realpath "$build")/bench/speed-${largest}MB
echo
echo "passes at ${largest}MB, median of $rounds (seconds):"
declare -A pass=()
for ((r = 1; r <= rounds; r++)); do
  for cores in 1 2; do
    line=$(taskset -c 0-$((cores - 1)) "$passtimes" "$work/fleet.txt" "$work/passes-cells.txt" "$work/passes-report.txt")
    read -r _ p _ _ _ _ w _ _ l _ _ _ _ rep _ <<<"${line//,/}"
    pass[parse/$cores]+="$p "
    pass[cells/$cores]+="$w "
    pass[readback/$cores]+="$l "
    pass[report/$cores]+="$rep "
  done
done
rm -f "$work/passes-cells.txt" "$work/passes-report.txt"
# Each pass's parallel share p from its times on one core (t1) and two
# (t2), t2 = t1 (1 - p + p / 2); then tN = t1 (1 - p + p / N).
printf '%-9s %8s %8s %9s %8s %8s\n' pass 1core 2cores parallel 8cores 16cores
sum1=0 sum2=0 sum8=0 sum16=0
for name in parse cells readback report; do
  t1=$(median "${pass[$name/1]}") t2=$(median "${pass[$name/2]}")
  p=$(echo "p = 0; if ($t1 > 0) p = 2 * (1 - $t2 / $t1); if (p < 0) p = 0; if (p > 1) p = 1; p" | bc -l)
  t8=$(echo "$t1 * (1 - $p + $p / 8)" | bc -l) t16=$(echo "$t1 * (1 - $p + $p / 16)" | bc -l)
  printf '%-9s %8.3f %8.3f %9.2f %8.3f %8.3f\n' "$name" "$t1" "$t2" "$p" "$t8" "$t16"
  sum1=$(echo "$sum1 + $t1" | bc -l) sum2=$(echo "$sum2 + $t2" | bc -l)
  sum8=$(echo "$sum8 + $t8" | bc -l) sum16=$(echo "$sum16 + $t16" | bc -l)
done
printf '%-9s %8.3f %8.3f %9s %8.3f %8.3f\n' all "$sum1" "$sum2" "" "$sum8" "$sum16"
