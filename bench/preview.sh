#!/usr/bin/env bash
# The map preview's benchmark, in one command: bench/preview.sh [WORK_FOLDER]
#
# Makes a 200 MB building file (BldA) from the real sample (bench/make_input.py), converts it
# with nabik, and prints for that folder and for the whole sample mesh (all its layers): the
# time to read the sets back, to draw them at full extent and closer in, one step of a drag and
# an identify (bench/preview_bench.cpp, best of NABIK_BENCH_RUNS runs), the coordinates held
# and the peak resident memory; then `nabik --render` end to end under /usr/bin/time.
#
# Settings (environment): NABIK_BENCH_MB (size of the building file, default 200),
# NABIK_BENCH_RUNS (runs per measurement, the best counts; default 5), NABIK_BENCH_BUILD (a
# configured build folder with the windows, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
runs=${NABIK_BENCH_RUNS:-5}
build=${NABIK_BENCH_BUILD:-build}
samples=$root/tests/data/fgd/gml/FG-GML-503041-ALL-20181001
mkdir -p "$work"

echo "Building ($build)..."
[[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target nabik nabikui -j2 >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -fPIC -I. bench/preview_bench.cpp "$build/libnabikui.a" "$build/libnabikcore.a" \
  $(pkg-config --cflags --libs Qt6Gui shapelib libzip fontconfig) -ldl -o "$work/preview_bench"

input=$work/BldA.xml
if [[ ! -f $input || $(stat -c %s "$input") -lt $((megabytes * 1000000)) ]]; then
  echo "Making $input ($megabytes MB)..."
  python3 bench/make_input.py "$samples/FG-GML-503041-BldA-20181001-0001.xml" BldA "$input" "$megabytes"
fi
big=$work/preview-bldA
mesh=$work/preview-mesh
rm -rf "$big" "$mesh" && mkdir -p "$big" "$mesh"
echo "Converting..."
"$build/nabik" --quiet -o "$big/list.txt" "$input"
"$build/nabik" --quiet -o "$mesh/list.txt" "$samples"/*.xml

for folder in "$mesh" "$big"; do
  echo
  case $folder in
    "$mesh") echo "Whole sample mesh 503041 (every layer):" ;;
    *) echo "BldA from a $(($(stat -c %s "$input") / 1000000)) MB file ($(du -m "$big/BldA.shp" | cut -f1) MB shape file):" ;;
  esac
  cat "$folder"/*.shp "$folder"/*.shx >/dev/null  # the first read comes from the page cache too
  "$work/preview_bench" data/nabik.csv "$folder/" "$runs"
  /usr/bin/time -f "nabik --render (1200x900, whole run): %e s, peak %M KB" \
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/nabik" --render "$work/render.png" "$folder"
done
