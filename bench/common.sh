# What the benchmark scripts share, sourced by them.

# Checks that GNU time and the programs of BUILD_DIR are there, and sets
# `gen` and `cellfreq` to tracegen's and cellfreq's absolute paths.
needbuilt() {
  [ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
  for p in tools/tracegen apps/cellfreq; do
    [ -x "$1/$p" ] || { echo "bench: $1/$p is not built" >&2; exit 1; }
  done
  gen=$(realpath "$1/tools/tracegen")
  cellfreq=$(realpath "$1/apps/cellfreq")
}

# measure CMD...: runs CMD under GNU time, with the caller's redirections;
# sets `wall` (seconds to the millisecond, from the clock: time's own
# figure has hundredths only, which a small run's baseline rounds to 0) and
# `kb` (the peak resident memory in KiB).
measure() {
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f '%M' -o time.txt "$@"
  t1=$(date +%s%N)
  wall=$(printf '%d.%03d' $(((t1 - t0) / 1000000000)) $((((t1 - t0) / 1000000) % 1000)))
  read -r kb <time.txt
}

# Statistics of the rounds: each takes the blank-separated wall times of one
# run over all rounds.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | sed -n "$((($(wc -w <<<"$1") + 1) / 2))p"; }
lo() { tr ' ' '\n' <<<"$1" | grep . | sort -g | head -1; }
hi() { tr ' ' '\n' <<<"$1" | grep . | sort -g | tail -1; }

# The benchmarks' fleet: 1000 objects at a fixed seed, with as many steps as
# give about SIZE_MB of TAB trace (some 55 bytes a line).
fleet_objects=1000
fleetsteps() { echo $(($1 * 1000000 / 55 / fleet_objects)); }
# fleet SIZE_MB FILE [TRACEGEN_OPTIONS...]: writes that fleet to FILE in the
# form the options ask for, unless FILE is already there.
fleet() {
  local mb=$1 file=$2
  shift 2
  [ -f "$file" ] || "$gen" --seed 11 --objects $fleet_objects --steps "$(fleetsteps "$mb")" "$@" -o "$file"
}
