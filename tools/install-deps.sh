#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test cellfreq; does nothing when everything is there. Both README commands
# start with it, so a fresh machine needs no other set-up step.
#
#   compiler and build:  g++ cmake make
#   tests:               libgtest-dev
#   cellfreq --crs:      libproj-dev (coordinate reference systems)
#   gzip traces:         zlib1g-dev
#   checks against the field's own tools (tests only): proj-bin (cs2cs),
#                        gdal-bin (ogrinfo)
#   cellfreq-dask:       python3-distributed (Dask's scheduler, for
#                        /usr/bin/python3)
#   cellfreq --map:      libjs-leaflet (the map library, embedded in the page
#                        at build time)
#   the map's tests:     chromium (a real browser, run headless; tests only)
#   the Python package:  pybind11-dev and python3-pybind11 (the compiled
#                        module cellfreq._core), python3-dev (its headers),
#                        python3-numpy (its arrays), python3-pandas (the
#                        frames it returns), python3-geopandas (geometry=True
#                        only), python3-pytest (its tests)
set -euo pipefail

missing=()
need() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed' || missing+=("$1"); }
for p in g++ cmake make libgtest-dev libproj-dev zlib1g-dev proj-bin gdal-bin python3-distributed \
         libjs-leaflet chromium pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pandas \
         python3-geopandas python3-pytest; do need "$p"; done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
