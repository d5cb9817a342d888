#!/usr/bin/env bash
# The input-format benchmark: one fleet (fixed seed) written by tracegen as
# the TAB dialect in metres, as CSV in degrees with a time column, as CSV in
# UTM metres and as gzipped CSV in degrees, all with the same positions;
# then five rounds in one loop, each running the copy floor `cat trace >
# file` on the TAB trace (the baseline), cellfreq on every form and `zcat`
# of the gzipped one. Prints, per run, the median wall time with the spread
# (min-max), the peak resident memory and the ratio to the TAB run of the
# same rounds.
#
#   bench/formats.sh [BUILD_DIR] [SIZE_MB]      (default: build 1000)
#
# SIZE_MB is the TAB trace's approximate size. Needs GNU time (Debian
# package "time").
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
mb=${2:-1000}
objects=$fleet_objects
rounds=5
needbuilt "$build"
work=$(realpath "$build")/bench/formats-${mb}MB
mkdir -p "$work"
cd "$work"

steps=$(fleetsteps "$mb")
fleet "$mb" fleet.txt
fleet "$mb" fleet.csv --format csv
fleet "$mb" metres.csv --format csv-metres
fleet "$mb" fleet.csv.gz --format csv --gzip

degrees="--input-format csv --crs EPSG:4326 --x-column lon --y-column lat --time-column time"
declare -A runs=(
  [copy]="cat fleet.txt >copy.txt"
  [tab]="$cellfreq --objects $objects -o report.txt fleet.txt"
  [csv-degrees]="$cellfreq $degrees -o report.txt fleet.csv"
  [csv-metres]="$cellfreq --input-format csv -o report.txt metres.csv"
  [csv-degrees.gz]="$cellfreq $degrees -o report.txt fleet.csv.gz"
  [zcat]="zcat fleet.csv.gz"
)
order=(copy tab csv-degrees csv-metres csv-degrees.gz zcat)

cat fleet.txt fleet.csv metres.csv fleet.csv.gz >/dev/null  # warm the page cache
declare -A walls rss
for ((r = 1; r <= rounds; r++)); do
  for name in "${order[@]}"; do
    measure sh -c "${runs[$name]}" >/dev/null 2>/dev/null
    walls[$name]+="$wall "
    rss[$name]=$kb
  done
done

tabmed=$(median "${walls[tab]}")
printf '%s\n' "fleet: $objects objects, $steps steps, $(wc -l <fleet.txt) TAB lines ($(du -m fleet.txt | cut -f1) MB);" \
  "CSV in degrees $(du -m fleet.csv | cut -f1) MB, gzipped $(du -m fleet.csv.gz | cut -f1) MB; median of $rounds rounds"
printf '%-15s %9s %15s %9s %9s\n' run median_s spread_s peak_MiB x_tab
for name in "${order[@]}"; do
  m=$(median "${walls[$name]}")
  printf '%-15s %9.2f %7.2f-%-7.2f %9.0f %9.2f\n' "$name" "$m" "$(lo "${walls[$name]}")" "$(hi "${walls[$name]}")" \
    "$(echo "${rss[$name]} / 1024" | bc -l)" "$(echo "$m / $tabmed" | bc -l)"
done
