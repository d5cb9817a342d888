#!/usr/bin/env bash
# The memory of a CSV trace's ids: a trace of IDS distinct ids (10^7 by
# default, one row each, ids of 8 bytes, about 200 MB), read under
# --memory-limit 64M and 256M with the id map written. Prints, per budget,
# the peak resident memory, what it is beyond the budget per distinct id,
# and the bound a run keeps: the budget plus the ids' bytes and 30 bytes per
# distinct id.
#
#   bench/csvids.sh [BUILD_DIR] [IDS]      (default: build 10000000)
#
# Needs GNU time (Debian package "time") and about 400 MB of free disk.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
ids=${2:-10000000}
needbuilt "$build"
work=$(realpath "$build")/bench/csvids
mkdir -p "$work"
cd "$work"

[ -f ids.csv ] || awk -v n="$ids" 'BEGIN { print "id,x,y"; for (i = 0; i < n; i++) printf "o%07d,%d,%d\n", i, (i * 7) % 50000, (i * 13) % 30000 }' >ids.csv
idbytes=$((8 * ids))
printf '%-8s %9s %12s %9s\n' budget peak_MiB beyond_B/id bound_MiB
for mib in 64 256; do
  measure "$cellfreq" --input-format csv --format csv --threshold 1000000 --memory-limit ${mib}M -o report.csv \
    --id-map idmap.csv ids.csv
  peak=$((kb * 1024))
  printf '%-8s %9d %12.1f %9d\n' "${mib}M" $((kb / 1024)) "$(echo "($peak - $mib * 1048576 - $idbytes) / $ids" | bc -l)" \
    $(((mib * 1048576 + idbytes + 30 * ids) / 1048576))
done
