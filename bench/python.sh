#!/usr/bin/env bash
# The Python package's benchmark: the benchmark fleet of SIZE_MB (1 GB by
# default, the fleet of bench/run.sh) as a DataFrame, loaded once and not
# timed, through cellfreq.frequent_cells, against cellfreq --format csv on
# the same file and against the same job in ordinary pandas; five rounds in
# one loop, the median wall time with the spread (min-max) and the peak
# resident memory of each (bench/python_frames.py does the rounds).
#
#   bench/python.sh [BUILD_DIR] [SIZE_MB]      (default: build 1000)
#
# Needs the package built (BUILD_DIR/python) and Debian's python3-pandas.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
mb=${2:-1000}
needbuilt "$build"
[ -f "$build/python/cellfreq/__init__.py" ] || { echo "bench: $build/python/cellfreq is not built" >&2; exit 1; }
work=$(realpath "$build")/bench/speed-${mb}MB
mkdir -p "$work"
fleet "$mb" "$work/fleet.txt"
cat "$work/fleet.txt" >/dev/null  # warm the page cache
PYTHONPATH=$(realpath "$build/python") /usr/bin/python3 "$(dirname "$0")/python_frames.py" \
  "$cellfreq" "$work/fleet.txt" 5
