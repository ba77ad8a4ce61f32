#!/usr/bin/env bash
# The elevation benchmark, in one command: bench/dem.sh [WORK_FOLDER]
#
# Builds the core library, the batch program and two small programs, makes a made-up area of
# 5 m DEM files (bench/make_dem_area.py: the real sample's tuple list under the headers of
# ROWS x COLS neighbouring meshes around the corner where four first-level meshes meet), and
# prints:
# - the DEM reader against a bare scan of the same lines (lines split, the number after the
#   comma parsed, nothing else), in interleaved rounds (bench/compare.py);
# - whole runs of the program over the area (GeoTIFF and COG): wall time and peak memory;
# - the same files converted the way users do it today (bench/dem_lxml.py: lxml, numpy and
#   GDAL's Python bindings, one GeoTIFF per mesh and a virtual mosaic): wall time and peak memory.
#
# Settings (environment): NABIK_DEM_ROWS, NABIK_DEM_COLS (the area, default 20 x 20 = 400
# meshes), NABIK_BENCH_RUNS (rounds, default 7), NABIK_BENCH_BUILD (build folder, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-dem-bench}
rows=${NABIK_DEM_ROWS:-20}
cols=${NABIK_DEM_COLS:-20}
runs=${NABIK_BENCH_RUNS:-7}
build=${NABIK_BENCH_BUILD:-build}
sample=$root/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml
mkdir -p "$work"

echo "Building ($build)..."
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target nabik -j2 >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -I. bench/dem_read.cpp "$build/libnabikcore.a" \
  $(pkg-config --libs shapelib libzip libisal fontconfig gdal) -ldl -pthread -o "$work/dem_read"
g++ -std=c++20 -O2 bench/dem_bare_scan.cpp -o "$work/dem_bare_scan"

area=$work/area-${rows}x$cols
[[ -d $area ]] || python3 bench/make_dem_area.py "$sample" "$area" "$rows" "$cols"
size=$(du -sm --apparent-size "$area" | cut -f1)
cat "$area"/*.xml >/dev/null  # every run then reads from the page cache
echo
echo "Area: $((rows * cols)) 5 m meshes, $size MB, $(cat "$area"/*.xml | wc -l) lines"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg); median of $runs interleaved rounds, ratio to the bare scan"
python3 bench/compare.py "$runs" "$size" \
  "bare scan" -- "$work/dem_bare_scan $area/*.xml" \
  "DEM reader" -- "$work/dem_read $area/*.xml"

echo
for format in GTiff COG; do
  rm -rf "$work/out-$format"
  /usr/bin/time -f "whole run, $format: %e s wall, %M KB peak" \
    "$build/nabik" -q --dem-format "$format" -o "$work/out-$format/list.txt" "$area"/*.xml
  du -sh "$work/out-$format"/dem5m-*.tif | tr '\n' ' '
  echo
done
if /usr/bin/python3 -c "import lxml, numpy; from osgeo import gdal" 2>/dev/null; then
  rm -rf "$work/out-python"
  /usr/bin/time -f "lxml + numpy + GDAL Python, one GeoTIFF per mesh and a VRT: %e s wall, %M KB peak" \
    /usr/bin/python3 bench/dem_lxml.py "$work/out-python" "$area"/*.xml
fi
