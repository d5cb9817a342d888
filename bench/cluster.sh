#!/usr/bin/env bash
# The cluster benchmark and its model. First what each kind of piece costs,
# run alone on one core (a worker of one thread) without the cluster, on a
# 1 GB fleet (fixed seed), five rounds in one loop with the copy floor
# `cat trace > file` as baseline: a parse task per GB, the plan per part
# (8 parts against 64) and per distinct id (a CSV trace of 10^5 ids), a
# merge and a placement per GB, the join's share in the client (its
# preparation and commit), and on cellfreq-dask a task's cost and the
# cluster's start (64 near-empty parse tasks); then the rate the disk keeps
# up for an 8 GiB write. From them the model (bench/cluster_model.py)
# predicts each phase of a run as the waves of tasks its workers run. Then
# cellfreq-dask runs on 2 local workers with 8, 32 and 64 chunks on the
# 1 GB trace (five rounds) and on a large one (10 GB by default, one round:
# each takes a minute or more), each against the model phase by phase, with
# the bound the file system's rate sets; last the model's table for 1 TB on
# 10, 100 and 1000 workers.
#
#   bench/cluster.sh [BUILD_DIR] [LARGE_GB]      (default: build 10)
#
# Every run writes the per-visit report of all 1000 users (--group-size 1
# --users 1000 --memory-limit 256M -o), the heaviest load on the shared
# file system. Needs GNU time, taskset, Debian's python3-distributed and
# about 4 × LARGE_GB of free disk.
set -euo pipefail
source "$(dirname "$0")/common.sh"

build=${1:-build}
gb=${2:-10}
rounds=5
needbuilt "$build"
here=$(realpath "$(dirname "$0")")
dask=$(realpath "$here/../tools/dask/cellfreq_dask.py")
work=$(realpath "$build")/bench/cluster
mkdir -p "$work"
cd "$work"
export TMPDIR=$work
opts=(--group-size 1 --users 1000 --memory-limit 256M)
fleet 1000 one.txt
fleet $((gb * 1000)) large.txt
fleet 10 tiny.txt
[ -f ids.csv ] || "$gen" --seed 11 --objects 100000 --steps 10 --format csv-metres -o ids.csv
ids=100000
onesize=$(stat -L -c %s one.txt)
costs=costs.txt
: >"$costs"
: >runs.txt
# A piece's costs are those of a worker of one thread: the pieces run alone
# on one core.
one="taskset -c 0"

# parts DIR TRACE N [OPTIONS...]: cuts TRACE into N parse pieces in DIR.
parts() {
  local dir=$1 trace=$2 n=$3 size chunk
  shift 3
  size=$(stat -L -c %s "$trace")
  chunk=$(((size + n - 1) / n))
  rm -rf "$dir" && mkdir "$dir"
  for ((s = 0; s < size; s += chunk)); do
    "$cellfreq" --work "$dir" --parse-range $s:$((s + chunk)) "${opts[@]}" "$@" "$trace"
  done
}
parts p8 one.txt 8
parts p64 one.txt 64
parts pcsv ids.csv 8 --input-format csv
"$cellfreq" --work p8 --plan 4 "${opts[@]}" one.txt >/dev/null
"$cellfreq" --work p8 --merge-users 0:1000 "${opts[@]}" one.txt
chunk=$(((onesize + 7) / 8))

# dask TRACE CHUNKS FILE: one cellfreq-dask run on 2 local workers; appends
# to FILE the trace's bytes, the chunks, the run's seconds and its phases'
# (parse plan merge place join).
dask() {
  local trace=$1 n=$2 size t0 t1
  size=$(stat -L -c %s "$trace")
  rm -f report.txt
  t0=$(date +%s%N)
  /usr/bin/python3 "$dask" --local-cluster 2 --cellfreq "$cellfreq" --chunk-size $(((size + n - 1) / n)) --progress "${opts[@]}" \
    -o report.txt "$trace" 2>dask.err
  t1=$(date +%s%N)
  echo "$size $n $(echo "($t1 - $t0) / 10^9" | bc -l)" $(for p in parse plan merge place join; do
    sed -n "s/^cellfreq-dask: $p: [0-9]* tasks\\? in \\([0-9.]*\\) s$/\\1/p" dask.err | tail -1
  done) >>"$3"
}

# place: the join of p8 with its one merge put in place by a --place piece;
# sets `prep` (the join's start until its places are listed), `placewall`
# and `commit` (the word given until the join has put its outputs).
place() {
  local t0 t1 t2 t3
  # A report already there would be removed by the commit, which costs
  # what its size does: the runs write theirs afresh.
  rm -f p8/places.bin p8/placed-* ctl report.txt && mkfifo ctl
  t0=$(date +%s%N)
  "$cellfreq" --work p8 --join-placed "${opts[@]}" -o report.txt one.txt <ctl &
  exec 3>ctl
  while [ ! -f p8/places.bin ]; do sleep 0.005; done
  t1=$(date +%s%N)
  $one "$cellfreq" --work p8 --place 0:1000 "${opts[@]}" -o report.txt one.txt
  t2=$(date +%s%N)
  echo commit >&3
  exec 3>&-
  wait
  t3=$(date +%s%N)
  prep=$(echo "($t1 - $t0) / 10^9" | bc -l) placewall=$(echo "($t2 - $t1) / 10^9" | bc -l)
  commit=$(echo "($t3 - $t2) / 10^9" | bc -l)
}

declare -A times
: >tiny.txt.runs
for ((r = 0; r < rounds; r++)); do
  measure sh -c 'cat one.txt >copy.txt'
  times[copy]+="$wall "
  rm -rf w && mkdir w
  measure $one "$cellfreq" --work w --parse-range 0:$chunk "${opts[@]}" one.txt
  times[parse]+="$wall "
  measure $one "$cellfreq" --work p8 --plan 4 "${opts[@]}" one.txt >/dev/null
  times[plan8]+="$wall "
  measure $one "$cellfreq" --work p64 --plan 4 "${opts[@]}" one.txt >/dev/null
  times[plan64]+="$wall "
  measure $one "$cellfreq" --work pcsv --plan 4 "${opts[@]}" --input-format csv ids.csv >/dev/null
  times[plancsv]+="$wall "
  measure $one "$cellfreq" --work p8 --merge-users 0:1000 "${opts[@]}" one.txt
  times[merge]+="$wall "
  place
  times[place]+="$placewall " times[prep]+="$prep " times[commit]+="$commit "
  measure "$cellfreq" "${opts[@]}" -o single.txt one.txt
  times[single]+="$wall "
  dask tiny.txt 64 tiny.txt.runs
done
# What the shared file system (here the disk behind the page cache) keeps
# up once the cache no longer holds a run's files: 8 GiB written and synced.
measure dd if=/dev/zero of=fs.bin bs=1M count=8192 conv=fdatasync status=none
rm -f fs.bin
fsrate=$(echo "8 * 1.073741824 / $wall" | bc -l)
reportgb=$(echo "$(stat -L -c %s single.txt) / 10^9" | bc -l)
onegb=$(echo "$onesize / 10^9" | bc -l)
chunkgb=$(echo "$chunk / 10^9" | bc -l)
{
  echo "copy_floor_per_gb $(echo "$(median "${times[copy]}") / $onegb" | bc -l)"
  echo "single_per_gb $(echo "$(median "${times[single]}") / $onegb" | bc -l)"
  echo "parse_per_gb $(echo "$(median "${times[parse]}") / $chunkgb" | bc -l)"
  echo "plan_base $(median "${times[plan8]}")"
  echo "plan_per_part $(echo "($(median "${times[plan64]}") - $(median "${times[plan8]}")) / 56" | bc -l)"
  echo "plan_per_id $(echo "($(median "${times[plancsv]}") - $(median "${times[plan8]}")) / $ids" | bc -l)"
  echo "merge_per_gb $(echo "$(median "${times[merge]}") / $onegb" | bc -l)"
  echo "place_per_gb $(echo "$(median "${times[place]}") / $onegb" | bc -l)"
  echo "join_prep $(median "${times[prep]}")"
  echo "join_commit $(median "${times[commit]}")"
  echo "report_per_gb $(echo "$reportgb / $onegb" | bc -l)"
  echo "fs_gb_per_s $fsrate"
  echo "parts_per_gb $(echo "$(du -bc p8/part-*.bin | tail -1 | cut -f1) / $onesize" | bc -l)"
} >>"$costs"
printf '%-28s %9s %s\n' piece median_s spread_s
for k in copy single parse plan8 plan64 plancsv merge place prep commit; do
  t=${times[$k]}
  printf '%-28s %9.3f %.3f-%.3f\n' "$k" "$(median "$t")" "$(lo "$t")" "$(hi "$t")"
done

for ((r = 0; r < rounds; r++)); do
  for n in 8 32 64; do dask one.txt $n runs.txt; done
done
for n in 8 32 64; do dask large.txt $n runs.txt; done
/usr/bin/python3 "$here/cluster_model.py" "$costs" tiny.txt.runs runs.txt
