# Statistics of the benchmarks' rounds, sourced by their scripts: each takes
# the blank-separated wall times of one run over all rounds.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | sed -n "$((($(wc -w <<<"$1") + 1) / 2))p"; }
lo() { tr ' ' '\n' <<<"$1" | grep . | sort -g | head -1; }
hi() { tr ' ' '\n' <<<"$1" | grep . | sort -g | tail -1; }
