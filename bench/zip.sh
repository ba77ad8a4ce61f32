#!/usr/bin/env bash
# The zip benchmark, in one command: bench/zip.sh [WORK_FOLDER]
#
# Builds the batch program and compares a whole run, `nabik -o` over zip archives, with
# `unzip -p ARCHIVE > /dev/null` over the same archives, round after round (bench/compare.py):
# - the ALL archives of the samples: the 503041 folder zipped, the 503060 ALL archive and the
#   JPGIS archive, the three given NABIK_BENCH_REPEAT times in one run (default 20), so that
#   the run's fixed steps (the map export) weigh little;
# - one archive each of the 200 MB Cntr and BldA files that bench/make_input.py makes (the
#   files bench/run.sh made in the same work folder are reused).
# Prints the median wall time, MB/s of XML, peak memory and the median ratio of throughput to
# `unzip -p` within a round; beside the whole run, its two halves: the same run with a catalog
# that matches no file (extraction, listing and deletion only) and the run over the extracted
# XML files themselves (conversion only). For the large files also `ogr2ogr -f "ESRI Shapefile"`
# reading the archive through GDAL's /vsizip/, once, and the inflation alone (bench/inflate.cpp:
# libzip's zlib against ISA-L, one thread, in memory).
#
# Settings (environment): NABIK_BENCH_MB (size of the large files, default 200),
# NABIK_BENCH_ROUNDS (default 7), NABIK_BENCH_REPEAT, NABIK_BENCH_BUILD (default build-zip).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
rounds=${NABIK_BENCH_ROUNDS:-7}
repeat=${NABIK_BENCH_REPEAT:-20}
build=${NABIK_BENCH_BUILD:-build-zip}
samples=$root/tests/data/fgd
mkdir -p "$work/zips"

echo "Building ($build, release options, no windows)..."
if [[ -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" >/dev/null  # a folder made before keeps its options
else
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNABIK_BUILD_UI=OFF \
    -DNABIK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target nabik -j2 >/dev/null
nabik=$root/$build/nabik
# shellcheck disable=SC2046
g++ -std=c++20 -O2 bench/inflate.cpp $(pkg-config --cflags --libs libzip libisal) -o "$work/inflate"

xml_megabytes() {  # ARCHIVE...: the XML they hold, in MB
  python3 - "$@" <<'PY'
import sys, zipfile
print(sum(i.file_size for a in sys.argv[1:] for i in zipfile.ZipFile(a).infolist()) / 1e6)
PY
}

run() {  # [--catalog FILE] INPUT...: the batch run into the work folder's out/
  echo "$(printf '%q' "$nabik") -q -o $(printf '%q' "$work/out/list.txt") $(printf '%q ' "$@")"
}

# A catalog whose one layer no file matches: such a run extracts every archive, lists and
# deletes the files, and converts nothing.
nothing=$work/nothing.csv
printf 'NoSuchLayerAnywhere,none,1\r\n' >"$nothing"

compare() {  # MEGABYTES ARCHIVE... [-- LABEL COMMAND...]: unzip -p, the run, further commands
  local size=$1 archives=()
  shift
  while (($#)) && [[ $1 != -- ]]; do archives+=("$1"); shift; done
  local extra=()
  (($#)) && shift
  while (($#)); do extra+=("$1" -- "$2"); shift 2; done
  rm -rf "$work/out"
  python3 bench/compare.py "$rounds" "$size" \
    "unzip -p > /dev/null" -- "for a in $(printf '%q ' "${archives[@]}"); do unzip -p \"\$a\"; done > /dev/null" \
    "nabik -o (whole run)" -- "$(run "${archives[@]}")" "${extra[@]}"
}

all=$work/zips/FG-GML-503041-ALL-20181001.zip
if [[ ! -f $all ]]; then
  (cd "$samples/gml/FG-GML-503041-ALL-20181001" && zip -q -r "$all" .)
fi
archives=("$all" "$samples/gml/FG-GML-503060-ALL-20170401.zip" "$samples/jpgis/FG-JPS-13112-05-Z001.zip")
runlist=()
for ((i = 0; i < repeat; ++i)); do runlist+=("${archives[@]}"); done
size=$(xml_megabytes "${runlist[@]}")
echo
echo "ALL archives of the samples, $repeat times each: $(printf '%.0f' "$size") MB of XML; load: $(cut -d' ' -f1-3 /proc/loadavg)"
loose=$work/loose
rm -rf "$loose" && mkdir -p "$loose"
(cd "$loose" && for a in "${archives[@]}"; do unzip -qo "$a"; done)
looselist=()
for ((i = 0; i < repeat; ++i)); do looselist+=("$loose"/*.xml); done
compare "$size" "${runlist[@]}" -- "nabik -o: extraction alone" "$(run --catalog "$nothing" "${runlist[@]}")" \
  "nabik -o: the XML files alone" "$(run "${looselist[@]}")"
"$work/inflate" "${archives[@]}"

for layer in Cntr BldA; do
  input=$work/$layer.xml
  archive=$work/zips/$layer.zip
  if [[ ! -f $input || $(stat -c %s "$input") -lt $((megabytes * 1000000)) ]]; then
    echo "Making $input ($megabytes MB)..."
    python3 bench/make_input.py "$samples/gml/FG-GML-503041-ALL-20181001/FG-GML-503041-$layer-20181001-0001.xml" \
      "$layer" "$input" "$megabytes"
    rm -f "$archive"
  fi
  [[ -f $archive ]] || (cd "$work" && zip -q "$archive" "$layer.xml")
  size=$(xml_megabytes "$archive")
  cat "$archive" "$input" >/dev/null
  echo
  echo "$layer: one archive of a $(printf '%.0f' "$size") MB file; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  compare "$size" "$archive" -- "nabik -o: extraction alone" "$(run --catalog "$nothing" "$archive")" \
    "nabik -o: the XML file alone" "$(run "$input")"
  "$work/inflate" "$archive"
  if command -v ogr2ogr >/dev/null; then
    rm -rf "$work/ogr"
    python3 bench/measure.py 1 "$size" "ogr2ogr on /vsizip/ (one run)" -- \
      ogr2ogr -f "ESRI Shapefile" "$work/ogr" "/vsizip/$archive/$layer.xml"
  fi
done
rm -rf "$work/out" "$work/ogr"
