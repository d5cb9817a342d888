#!/usr/bin/env bash
# The benchmark: generates traces of 10 MB, 100 MB and 1 GB (fixed seeds,
# made on demand under BUILD/bench, never committed), runs cellfreq400 on
# each (best of three) with a warm page cache and the report written to a
# file on disk, and prints one table with the ratio to `wc -l` on the same
# file measured in the same run, then the time of each pass for the largest
# size.
#
#   bench/run.sh [BUILD_DIR] [SIZE_MB ...]      (default: build 10 100 1000)
#
# Needs GNU time (/usr/bin/time, Debian package "time") for peak memory.
set -euo pipefail

build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 100 1000)
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
for p in tools/tracegen apps/cellfreq400 bench/passtimes; do
  [ -x "$build/$p" ] || { echo "bench: $build/$p is not built" >&2; exit 1; }
done

work=$(realpath "$build")/bench/data
mkdir -p "$work"

now() { date +%s.%N; }
# Best of three wall times of a command, in seconds.
best3() {
  local best=999999 t0 t1 d
  for _ in 1 2 3; do
    t0=$(now); "$@" >/dev/null; t1=$(now)
    d=$(echo "$t1 - $t0" | bc -l)
    best=$(echo "if ($d < $best) $d else $best" | bc -l)
  done
  printf '%.3f' "$best"
}

# Runs a program in a scratch folder holding the trace at the fixed path
# and prints "wall user sys maxrss_kb".
runone() {
  local trace=$1 dir=$2; shift 2
  rm -rf "$dir"; mkdir -p "$dir/C:"
  ln -s "$trace" "$dir/C:/oldenburg(1000).txt"
  (cd "$dir" && /usr/bin/time -f '%e %U %S %M' -o "$dir/time.txt" "$@" >"$dir/report.txt" 2>/dev/null </dev/null)
  cat "$dir/time.txt"
}

printf '%-10s %-9s %10s %8s %8s %8s %9s %8s %8s %8s\n' program input lines wall_s user_s sys_s peak_MiB MB/s wc_l_s ratio
for mb in "${sizes[@]}"; do
  trace="$work/trace-${mb}MB.txt"
  [ -f "$trace" ] || "$build/tools/tracegen" --seed "$mb" --objects 1000 --bytes $((mb * 1000000)) -o "$trace"
  cat "$trace" >/dev/null
  lines=$(wc -l <"$trace")
  wc_s=$(best3 wc -l "$trace")
  bytes=$(stat -c %s "$trace")
  progs=("cellfreq400:$build/apps/cellfreq400")
  if [ -x "$build/apps/cellfreq" ]; then
    progs+=("cellfreq:$build/apps/cellfreq --cell-size 400 --users 100 --threshold 3 --cell-file C:/new400.txt C:/oldenburg(1000).txt")
  fi
  for entry in "${progs[@]}"; do
    name=${entry%%:*}
    read -r -a cmd <<<"${entry#*:}"
    # Best of three runs, as for wc -l: this shared machine's timings vary.
    best=""
    for _ in 1 2 3; do
      r=$(runone "$trace" "$work/run-$name-$mb" "$(realpath "${cmd[0]}")" "${cmd[@]:1}")
      if [ -z "$best" ] || [ "$(echo "${r%% *} < ${best%% *}" | bc -l)" = 1 ]; then best=$r; fi
    done
    read -r wall user sys rss <<<"$best"
    printf '%-10s %-9s %10d %8.2f %8.2f %8.2f %9.0f %8.0f %8.3f %8.1f\n' "$name" "${mb}MB" "$lines" "$wall" "$user" \
      "$sys" "$(echo "$rss / 1024" | bc -l)" "$(echo "$bytes / 1000000 / $wall" | bc -l)" "$wc_s" \
      "$(echo "$wall / $wc_s" | bc -l)"
  done
done

largest=${sizes[${#sizes[@]} - 1]}
echo
echo "passes at ${largest}MB:"
"$build/bench/passtimes" "$work/trace-${largest}MB.txt" "$work/passes-cells.txt" "$work/passes-report.txt"
