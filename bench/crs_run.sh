#!/usr/bin/env bash
# Whole runs with a target CRS against the same runs without one: bench/crs_run.sh [WORK_FOLDER]
#
# Builds the batch program (as bench/zip.sh does) and, in interleaved rounds (bench/compare.py;
# medians, ratio of throughput to the run without a target within a round, peak memory), runs
# `nabik` with and without `--crs TARGET` (default EPSG:6670, zone II, where the samples lie)
# - over the ALL archives of the samples given NABIK_BENCH_REPEAT times (default 20),
# - over the 200 MB Cntr and BldA files of bench/run.sh (made if missing),
# into shapefiles, and into a GeoPackage for the ALL archives.
#
# Settings (environment): NABIK_BENCH_CRS, NABIK_BENCH_MB (default 200), NABIK_BENCH_ROUNDS
# (default 5), NABIK_BENCH_REPEAT, NABIK_BENCH_BUILD (default build-zip).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
target=${NABIK_BENCH_CRS:-EPSG:6670}
megabytes=${NABIK_BENCH_MB:-200}
rounds=${NABIK_BENCH_ROUNDS:-5}
repeat=${NABIK_BENCH_REPEAT:-20}
build=${NABIK_BENCH_BUILD:-build-zip}
c=$work/crs
mkdir -p "$c"
# shellcheck source=bench/batch_inputs.sh
source bench/batch_inputs.sh

run() {  # FOLDER OPTIONS INPUT...: a batch run as one quoted command line
  local folder=$1 options=$2
  shift 2
  echo "rm -rf $(printf '%q' "$folder") && $(printf '%q' "$nabik") -q --mapserver 8 $options -o $(printf '%q' "$folder/list.txt") $(printf '%q ' "$@")"
}

bench() {  # LABEL MEGABYTES FORMAT INPUT...
  local label=$1 size=$2 format=$3
  shift 3
  echo
  echo "== $label, $format: $(printf '%.0f' "$size") MB of XML; load $(cut -d' ' -f1-3 /proc/loadavg)"
  python3 bench/compare.py "$rounds" "$size" \
    "nabik --format $format" -- "$(run "$c/plain" "--format $format" "$@")" \
    "nabik --format $format --crs $target" -- "$(run "$c/target" "--format $format --crs $target" "$@")"
}

all_mb=$(xml_megabytes "${runlist[@]}")
bench "ALL archives x$repeat" "$all_mb" shp "${runlist[@]}"
bench "ALL archives x$repeat" "$all_mb" GPKG "${runlist[@]}"
for layer in Cntr BldA; do
  bench "$layer" "$(python3 -c "import os,sys; print(os.path.getsize(sys.argv[1]) / 1e6)" "$work/$layer.xml")" shp "$work/$layer.xml"
done
