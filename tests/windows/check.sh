#!/usr/bin/env bash
# Cross-builds cellfreq400/100/300 for 64-bit Windows and checks them under
# Wine against the Linux programs on the same traces: the Windows cell file
# and report must be the Linux ones with every LF turned into CRLF, the
# report must come before the PAUSE prompt, CRLF traces must read like LF
# ones and a Ctrl-Z byte must end the trace. Any failure, including Wine not
# starting, ends the script with a non-zero status.
#
#   tests/windows/check.sh [--linux-build DIR] [--mingw-build DIR] [--keep]
#
# DIR defaults: build (the default preset's folder; configured and built
# here if needed) and build-mingw. --keep leaves the scratch folder, which
# holds the Wine prefix, the traces and every output, for inspection.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd -P)
linux_build=$root/build
mingw_build=$root/build-mingw
keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --linux-build) linux_build=$2; shift 2 ;;
    --mingw-build) mingw_build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--linux-build DIR] [--mingw-build DIR] [--keep]" >&2; exit 2 ;;
  esac
done

programs=(cellfreq400 cellfreq100 cellfreq300)
declare -A cellname=([cellfreq400]=new400.txt [cellfreq100]=new1.txt [cellfreq300]=new300.txt)
winerun=$root/tools/wine-run.sh
# What cmd.exe's PAUSE prints, without a line end, when stdin is empty.
prompt='Press any key to continue... '
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "windows check: error: $*" >&2; exit 1; }
start=$SECONDS

echo "== Linux programs in $linux_build, Windows programs in $mingw_build"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  [ "$linux_build" = "$root/build" ] || die "$linux_build is not a configured build folder"
  cmake --preset default >/dev/null
fi
cmake --build "$linux_build" -j2 --target "${programs[@]}" tracegen >/dev/null
command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
  die "MinGW-w64 not found (Debian: apt-get install g++-mingw-w64-x86-64-posix)"
cmake -S "$root" -B "$mingw_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCELLFREQ_WERROR=ON -DCELLFREQ_TESTS=OFF >/dev/null
cmake --build "$mingw_build" -j2 --target "${programs[@]}" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/cellfreq-wincheck.XXXXXX")
prefix=$work/prefix
cleanup() {
  # Stop this prefix's wineserver before its folder goes.
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "scratch folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
echo "== Wine prefix"
drive_c=$("$winerun" --print-drive-c --prefix "$prefix") ||
  die "Wine cannot start on this machine (status $?); the Windows programs were not checked"
[ -d "$drive_c" ] || die "Wine prefix has no drive_c: $drive_c"

# --- Traces: the sample, a generated one, the fuzz seeds of malformed lines
# (headers, blank lines, short lines, trailing TABs, empty and blank fields,
# negative, huge and partial numbers, lone CRs, ids beyond 999 and below 0,
# frequent cells, no final newline), each also with CRLF; and a Ctrl-Z
# between two lines or in a number, where on Windows the trace ends, so the
# expected outputs are the Linux ones of the cut trace.
traces=$work/traces
mkdir -p "$traces"
lf2crlf() { sed -e 's/$/\r/' "$1"; }
cp "$root/data/oldenburg-sample.txt" "$traces/sample.txt"
: >"$traces/empty.txt"
"$linux_build/tools/tracegen" --seed 5 --objects 1000 --steps 100 -o "$traces/gen100k.txt"
(cd "$root/tests/fuzz/corpus" && cat malformed-lines.txt blank-led-fields.txt empty-fields.txt frequent-cells.txt \
  huge-numbers.txt negative-and-far.txt not-numbers.txt partial-numbers.txt whitespace-in-fields.txt &&
  printf 'lone\rcr\t4\t1\t0\t42\t400\t400\t1\n' && cat no-final-newline.txt) >"$traces/edge.txt"
for t in sample gen100k edge; do lf2crlf "$traces/$t.txt" >"$traces/$t-crlf.txt"; done
head -n 5000 "$traces/sample.txt" >"$traces/ctrlz-line-cut.txt"
{ cat "$traces/ctrlz-line-cut.txt"; printf '\032'; tail -n +5001 "$traces/sample.txt"; } >"$traces/ctrlz-line.txt"
{ head -n 777 "$traces/sample.txt"; printf 'appear\t42\t1\t0\t0\t123'; } >"$traces/ctrlz-number-cut.txt"
{ cat "$traces/ctrlz-number-cut.txt"; printf '\03245.6\t9999\t1\n'; tail -n +778 "$traces/sample.txt"; } \
  >"$traces/ctrlz-number.txt"
# name:expected-from — the Windows run of `name` must match the Linux run of
# `expected-from` (on Linux, CRLF traces read like LF ones by the unit tests).
cases=(sample:sample sample-crlf:sample empty:empty edge:edge edge-crlf:edge gen100k:gen100k
       gen100k-crlf:gen100k ctrlz-line:ctrlz-line-cut ctrlz-number:ctrlz-number-cut)

# runlinux PROG TRACE OUTDIR: runs the Linux program in a scratch folder
# that holds "C:/oldenburg(1000).txt"; leaves stdout, stderr, status, cells.
runlinux() {
  local prog=$1 trace=$2 out=$3 dir rc=0
  dir=$(mktemp -d "$work/linux.XXXXXX")
  mkdir -p "$dir/C:" "$out"
  cp "$trace" "$dir/C:/oldenburg(1000).txt"
  (cd "$dir" && "$linux_build/apps/$prog" </dev/null >"$out/stdout" 2>"$out/stderr") || rc=$?
  echo "$rc" >"$out/status"
  cp "$dir/C:/${cellname[$prog]}" "$out/cells" 2>/dev/null || : >"$out/cells"
  rm -rf "$dir"
}

# runwine PROG TRACE OUTDIR: the same under Wine, where C: is drive_c.
runwine() {
  local prog=$1 trace=$2 out=$3 rc=0
  mkdir -p "$out"
  rm -f "$drive_c/${cellname[$prog]}"
  cp "$trace" "$drive_c/oldenburg(1000).txt"
  "$winerun" --prefix "$prefix" "$mingw_build/apps/$prog.exe" >"$out/stdout" 2>"$out/stderr" || rc=$?
  # The programs always print something (a report and the prompt, or a
  # message), so a failure with no output at all is Wine's, seen once on a
  # loaded machine: run once more, and say so.
  if [ "$rc" != 0 ] && [ ! -s "$out/stdout" ] && [ ! -s "$out/stderr" ]; then
    echo "note: $prog.exe ended with status $rc and no output under Wine; running it again" >&2
    rc=0
    "$winerun" --prefix "$prefix" "$mingw_build/apps/$prog.exe" >"$out/stdout" 2>"$out/stderr" || rc=$?
  fi
  [ "$rc" != 125 ] || die "Wine could not run $prog.exe"
  echo "$rc" >"$out/status"
  cp "$drive_c/${cellname[$prog]}" "$out/cells" 2>/dev/null || : >"$out/cells"
}

results=$work/results
echo "== running ${#programs[@]} programs on ${#cases[@]} traces, on Linux and under Wine"
for prog in "${programs[@]}"; do
  for c in "${cases[@]}"; do
    name=${c%%:*} from=${c#*:}
    lin=$results/linux/$prog/$from win=$results/wine/$prog/$name what="$prog on $name"
    [ -d "$lin" ] || runlinux "$prog" "$traces/$from.txt" "$lin"
    runwine "$prog" "$traces/$name.txt" "$win"
    [ "$(cat "$lin/status")" = 0 ] || fail "$what: Linux status $(cat "$lin/status")"
    [ "$(wc -l <"$lin/cells")" = 1000 ] || fail "$what: Linux cell file has $(wc -l <"$lin/cells") lines"
    [ "$(cat "$win/status")" = 0 ] || fail "$what: Windows status $(cat "$win/status")"
    [ ! -s "$win/stderr" ] || fail "$what: Windows standard error: $(head -c 300 "$win/stderr")"
    lf2crlf "$lin/cells" >"$win/cells.expected"
    cmp -s "$win/cells" "$win/cells.expected" ||
      fail "$what: cell file differs from the Linux one in CRLF ($(cmp "$win/cells" "$win/cells.expected" 2>&1 | head -1))"
    { lf2crlf "$lin/stdout"; printf '%s' "$prompt"; } >"$win/stdout.expected"
    cmp -s "$win/stdout" "$win/stdout.expected" ||
      fail "$what: standard output is not the Linux report in CRLF followed by the PAUSE prompt ($(cmp "$win/stdout" "$win/stdout.expected" 2>&1 | head -1))"
  done
done

# A missing trace: status 1, the message on stderr, nothing but the prompt on
# stdout, and the previous cell file left as it was.
echo "== missing trace under Wine"
rm -f "$drive_c/oldenburg(1000).txt"
for prog in "${programs[@]}"; do
  out=$results/wine/$prog/missing rc=0
  mkdir -p "$out"
  printf 'previous\r\n' >"$drive_c/${cellname[$prog]}"
  "$winerun" --prefix "$prefix" "$mingw_build/apps/$prog.exe" >"$out/stdout" 2>"$out/stderr" || rc=$?
  [ "$rc" = 1 ] || fail "$prog, missing trace: status $rc, not 1"
  grep -qF "$prog: cannot open trace 'C:/oldenburg(1000).txt': " "$out/stderr" ||
    fail "$prog, missing trace: standard error is '$(head -c 300 "$out/stderr")'"
  [ "$(cat "$out/stdout")" = "$prompt" ] || fail "$prog, missing trace: standard output is '$(head -c 300 "$out/stdout")'"
  [ "$(cat "$drive_c/${cellname[$prog]}")" = $'previous\r' ] || fail "$prog, missing trace: cell file was touched"
done

echo "windows check: ${#programs[@]} programs x ${#cases[@]} traces + missing trace, $((SECONDS - start)) s"
[ "$failures" -eq 0 ] || { echo "windows check: $failures FAILURES" >&2; exit 1; }
echo "windows check: all passed"
