#!/usr/bin/env bash
# Runs clang-tidy (checks from .clang-tidy) and cppcheck over src/ and apps/,
# using the compile commands of a build so that both see the real flags and
# include paths. Any finding fails the script.
#
#   tools/static-checks.sh [BUILD_DIR]
#
# BUILD_DIR must hold compile_commands.json; by default build-static is
# configured here (configure only, with clang++, which clang-tidy
# understands best; nothing is compiled).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"

build=${1:-}
if [ -z "$build" ]; then
  build=$root/build-static
  cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCELLFREQ_TESTS=OFF >/dev/null
fi
db=$build/compile_commands.json
[ -f "$db" ] || { echo "static checks: no $db (configure with CMAKE_EXPORT_COMPILE_COMMANDS=ON)" >&2; exit 2; }
jobs=$(nproc 2>/dev/null || echo 2)
status=0

# The translation units of src/ and apps/ in the build; headers are checked
# through them (HeaderFilterRegex in .clang-tidy).
mapfile -t files < <(grep -o '"file": *"[^"]*"' "$db" | sed 's/.*"\([^"]*\)"$/\1/' |
                     grep -E "^$root/(src|apps)/" | sort -u)
[ ${#files[@]} -gt 0 ] || { echo "static checks: no sources of src/ or apps/ in $db" >&2; exit 2; }

echo "== clang-tidy on ${#files[@]} files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 2 clang-tidy -p "$build" --quiet >"$log" 2>&1; then
  status=1
fi
# clang-tidy prints a count of suppressed warnings in system headers on
# stderr; only diagnostics matter.
if grep -qE '(warning|error):' "$log"; then
  grep -E -A3 '(warning|error):' "$log"
  status=1
elif [ "$status" != 0 ]; then
  cat "$log"
fi

echo "== cppcheck"
# Only the entries of src/ and apps/: a configured build has not generated
# its sources yet (the map page), and cppcheck refuses a database that
# names a missing file.
srcdb=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$srcdb"' EXIT
python3 - "$db" "$root" "$srcdb/compile_commands.json" <<'PY'
import json, sys
db, root, out = sys.argv[1:]
keep = [e for e in json.load(open(db))
        if e["file"].startswith((root + "/src/", root + "/apps/"))]
json.dump(keep, open(out, "w"))
PY
if ! cppcheck --project="$srcdb/compile_commands.json" --file-filter="$root/src/*" --file-filter="$root/apps/*" \
     --enable=warning,performance,portability --std=c++20 --inline-suppr \
     --suppress=missingIncludeSystem --error-exitcode=1 --quiet -j "$jobs"; then
  status=1
fi

if [ "$status" != 0 ]; then echo "static checks: FINDINGS" >&2; else echo "static checks: clean"; fi
exit "$status"
