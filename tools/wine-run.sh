#!/usr/bin/env bash
# Runs a cross-built Windows console program under Wine, headless and with
# stdin from /dev/null, and exits with the program's own exit status.
#
#   tools/wine-run.sh [--prefix DIR] PROGRAM.exe [ARGS...]
#   tools/wine-run.sh --print-drive-c --prefix DIR
#
# The Wine prefix is DIR, else $WINE_PREFIX_DIR, else a temporary folder that
# is removed afterwards. A DIR that holds no prefix yet is set up first; that
# takes about 3 s and 700 MB, so callers running many programs should pass
# one DIR and reuse it. Windows sees DIR/drive_c as C:, so a test makes a
# program open "C:/name" by copying (or symlinking) a file to DIR/drive_c/name;
# --print-drive-c sets the prefix up and prints that folder.
#
# Exit status: the program's (Wine passes it through, modulo 256), or 125
# when Wine itself is missing or cannot set up the prefix.
set -u

die() { echo "wine-run.sh: error: $*" >&2; exit 125; }

prefix=${WINE_PREFIX_DIR:-}
print_drive_c=0
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) [ $# -ge 2 ] || die "--prefix needs a directory"; prefix=$2; shift 2 ;;
    --print-drive-c) print_drive_c=1; shift ;;
    --) shift; break ;;
    -*) die "unknown option: $1" ;;
    *) break ;;
  esac
done

# Debian's "wine" wrapper runs the 64-bit loader when no 32-bit Wine is
# installed; the bare loader is the fallback when only wine64 is present.
wine=${WINE:-$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)}
[ -x "$wine" ] || die "Wine not found (Debian: apt-get install wine)"
wineserver=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}

if [ -z "$prefix" ]; then
  [ "$print_drive_c" = 0 ] || die "--print-drive-c needs --prefix DIR or WINE_PREFIX_DIR"
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || die "cannot create a temporary prefix"
  # Stop this prefix's wineserver first, or it would write into the folder
  # while it is being removed.
  trap '"$wineserver" -k 2>/dev/null; rm -rf "$prefix"' EXIT
fi
prefix=$(mkdir -p "$prefix" && cd "$prefix" && pwd -P) || die "cannot use prefix folder $prefix"

export WINEPREFIX=$prefix WINEDEBUG=-all
# Console programs need neither the Mono nor the Gecko add-on. Disabling
# winedbg matters more: otherwise a crash starts it, it dumps registers to
# stdout and the program "exits" 0 instead of with the fault code.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# No window is ever wanted, even on a developer's desktop.
unset DISPLAY WAYLAND_DISPLAY

# Set the prefix up once, under a lock so parallel test runs sharing DIR
# wait for each other. fd 9 is closed for Wine: the wineserver it spawns
# lingers and would otherwise hold the lock for seconds.
ready=$prefix/.wine-run-ready
if [ ! -e "$ready" ]; then
  {
    flock 9 || die "cannot lock $prefix"
    if [ ! -e "$ready" ]; then
      if "$wine" wineboot.exe --init </dev/null >"$prefix/wineboot.log" 2>&1 9>&- &&
         [ -d "$prefix/drive_c/windows" ]; then
        touch "$ready"
      else
        cat "$prefix/wineboot.log" >&2
        die "Wine could not initialise the prefix $prefix"
      fi
    fi
  } 9>"$prefix/.wine-run.lock" || die "cannot create a lock file in $prefix"
fi

if [ "$print_drive_c" = 1 ]; then
  echo "$prefix/drive_c"
  exit 0
fi

[ $# -ge 1 ] || die "usage: wine-run.sh [--prefix DIR] PROGRAM.exe [ARGS...]"
exe=$1; shift
# Wine's own failures (missing file: 53, not a PE file: 1) would look like
# the program's exit status, so rule them out first.
[ -f "$exe" ] || die "no such program: $exe"
[ "$(head -c 2 "$exe")" = MZ ] || die "not a Windows executable: $exe"

"$wine" "$exe" "$@" </dev/null
