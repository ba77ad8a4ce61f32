#!/usr/bin/env bash
# The GDAL outputs' benchmark, in one command: bench/gdal.sh [WORK_FOLDER]
#
# Builds the batch program (as bench/zip.sh does) and, for three inputs
# - the ALL archives of the samples (the 503041 folder zipped, the 503060 ALL archive, the JPGIS
#   archive), given NABIK_BENCH_REPEAT times in one run (default 20),
# - the 200 MB Cntr and BldA files of bench/run.sh (made if missing),
# compares in interleaved rounds (bench/compare.py; medians, ratio to the first command within a
# round, peak memory):
#   ogr2ogr -f GPKG copying the run's own GeoPackage into a new file (GDAL's write cost: the
#   floor for any writer through GDAL), the GeoPackage run, the FlatGeobuf run, ogr2ogr -f
#   FlatGeobuf copying the run's own .fgb files, and the shapefile run;
# then, once, ogr2ogr -f GPKG reading the GML files of the two GML meshes one after the other
# as users run it, against the GeoPackage run over the same files (best of three).
#
# Settings (environment): NABIK_BENCH_MB (size of the large files, default 200),
# NABIK_BENCH_ROUNDS (default 5), NABIK_BENCH_REPEAT, NABIK_BENCH_BUILD (default build-zip).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
rounds=${NABIK_BENCH_ROUNDS:-5}
repeat=${NABIK_BENCH_REPEAT:-20}
build=${NABIK_BENCH_BUILD:-build-zip}
g=$work/gdal
mkdir -p "$g"
# shellcheck source=bench/batch_inputs.sh
source bench/batch_inputs.sh

run() {  # FOLDER FORMAT INPUT...: a batch run as one quoted command line
  local folder=$1 format=$2
  shift 2
  echo "rm -rf $(printf '%q' "$folder") && $(printf '%q' "$nabik") -q --mapserver 8 --format $format -o $(printf '%q' "$folder/list.txt") $(printf '%q ' "$@")"
}

bench() {  # LABEL MEGABYTES INPUT...
  local label=$1 size=$2
  shift 2
  echo
  echo "== $label: $(printf '%.0f' "$size") MB of XML; load $(cut -d' ' -f1-3 /proc/loadavg)"
  # The runs' own outputs, copied by GDAL alone.
  bash -c "$(run "$g/ref-gpkg" GPKG "$@")"
  bash -c "$(run "$g/ref-fgb" FlatGeobuf "$@")"
  local features
  features=$(ogrinfo -so -al "$g/ref-gpkg/list.gpkg" | awk '/^Feature Count/ {n += $3} END {print n}')
  echo "$features features"
  python3 bench/compare.py "$rounds" "$size" \
    "ogr2ogr -f GPKG (copy of the run's GeoPackage)" -- "rm -f $g/copy.gpkg && ogr2ogr -f GPKG $g/copy.gpkg $g/ref-gpkg/list.gpkg" \
    "nabik --format GPKG" -- "$(run "$g/gpkg" GPKG "$@")" \
    "ogr2ogr -f FlatGeobuf (copy of the run's files)" -- "rm -rf $g/copy-fgb && mkdir $g/copy-fgb && for f in $g/ref-fgb/*.fgb; do ogr2ogr -f FlatGeobuf $g/copy-fgb/\${f##*/} \$f; done" \
    "nabik --format FlatGeobuf" -- "$(run "$g/fgb" FlatGeobuf "$@")" \
    "nabik (shapefiles)" -- "$(run "$g/shp" shp "$@")"
}

gml_once() {  # LABEL MEGABYTES XML...: ogr2ogr -f GPKG over the GML files against the run
  local label=$1 size=$2
  shift 2
  rm -f "$g/ogr2ogr.gpkg"
  python3 bench/measure.py 1 "$size" "$label: ogr2ogr -f GPKG from the GML, file by file" -- \
    bash -c 'out=$1; shift; for f in "$@"; do ogr2ogr -f GPKG -update -append "$out" "$f" 2>/dev/null; done' _ "$g/ogr2ogr.gpkg" "$@"
  python3 bench/measure.py 3 "$size" "$label: nabik --format GPKG, same files" -- \
    bash -c "$(run "$g/gml-run" GPKG "$@")"
}

bench "ALL archives x$repeat" "$(xml_megabytes "${runlist[@]}")" "${runlist[@]}"
for layer in Cntr BldA; do
  bench "$layer" "$(python3 -c "import os,sys; print(os.path.getsize(sys.argv[1]) / 1e6)" "$work/$layer.xml")" "$work/$layer.xml"
done

echo
xml=$g/xml
rm -rf "$xml" && mkdir -p "$xml"
for a in "${archives[@]}"; do unzip -q -o "$a" -d "$xml"; done
mapfile -t files < <(find "$xml" -name 'FG-GML-*.xml' | sort)  # the two GML meshes
gml_once "the two GML meshes" "$(du -cb "${files[@]}" | tail -1 | awk '{print $1 / 1e6}')" "${files[@]}"
