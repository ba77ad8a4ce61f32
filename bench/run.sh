#!/usr/bin/env bash
# The reader's benchmark, in one command: bench/run.sh [WORK_FOLDER]
#
# Builds the core library and two small programs, makes a large line file (Cntr) and a large
# polygon file (BldA) by repeating the features of the real samples (bench/make_input.py), and
# prints for each, from runs on this machine: a bare scan (lines split, the two numbers of every
# line without "<" parsed, nothing else), the whole conversion of the file into a layer set and
# `wc -l`, in interleaved rounds (bench/compare.py: medians, and the ratio to the bare scan
# within a round), then `ogr2ogr -f "ESRI Shapefile"` once when GDAL is installed, and the peak
# memory of the conversion of a small file.
#
# Settings (environment): NABIK_BENCH_MB (size of each input, default 200), NABIK_BENCH_RUNS
# (rounds of the interleaved measurement; default 7), NABIK_BENCH_BUILD (build folder, default
# build-fgd).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
runs=${NABIK_BENCH_RUNS:-7}
build=${NABIK_BENCH_BUILD:-build-fgd}
samples=$root/tests/data/fgd/gml/FG-GML-503041-ALL-20181001
mkdir -p "$work"

echo "Building ($build, release options)..."
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target nabikcore -j2 >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -I. bench/convert_one.cpp "$build/libnabikcore.a" \
  $(pkg-config --libs shapelib libzip libisal fontconfig) -ldl -pthread -o "$work/convert_one"
g++ -std=c++20 -O2 bench/bare_scan.cpp -o "$work/bare_scan"

measure() {  # LABEL MEGABYTES COMMAND...
  local label=$1 size=$2
  shift 2
  python3 bench/measure.py "$runs" "$size" "$label" -- "$@"
}

for layer in Cntr BldA; do
  input=$work/$layer.xml
  sample=$samples/FG-GML-503041-$layer-20181001-0001.xml
  if [[ ! -f $input || $(stat -c %s "$input") -lt $((megabytes * 1000000)) ]]; then
    echo "Making $input ($megabytes MB)..."
    python3 bench/make_input.py "$sample" "$layer" "$input" "$megabytes"
  fi
  size=$(python3 -c "import os,sys; print(os.path.getsize(sys.argv[1]) / 1e6)" "$input")
  small=$work/$layer-small.xml
  [[ -f $small ]] || python3 bench/make_input.py "$sample" "$layer" "$small" 10 >/dev/null
  mkdir -p "$work/out" "$work/ogr"
  cat "$input" >/dev/null  # every run then reads from the page cache
  echo
  echo "$layer: $(printf '%.0f' "$size") MB, $(wc -l <"$input") lines, $(grep -c "<$layer " "$input") features"
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg); median of $runs interleaved rounds, ratio to the bare scan"
  python3 bench/compare.py "$runs" "$size" \
    "bare scan" -- "$(printf '%q ' "$work/bare_scan" "$input")" \
    "conversion (nabik reader)" -- "$(printf '%q ' "$work/convert_one" data/nabik.csv "$layer" "$input" "$work/out/")" \
    "wc -l" -- "$(printf '%q ' wc -l "$input")"
  if command -v ogr2ogr >/dev/null; then
    rm -rf "$work/ogr" && mkdir -p "$work/ogr"
    python3 bench/measure.py 1 "$size" "ogr2ogr -f \"ESRI Shapefile\"" -- \
      ogr2ogr -f "ESRI Shapefile" "$work/ogr" "$input"
  else
    echo "ogr2ogr: not installed (gdal-bin)"
  fi
  small_size=$(python3 -c "import os,sys; print(os.path.getsize(sys.argv[1]) / 1e6)" "$small")
  measure "conversion of a $(printf '%.0f' "$small_size") MB file" "$small_size" "$work/convert_one" data/nabik.csv "$layer" "$small" "$work/out/"
done
