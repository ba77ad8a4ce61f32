#!/usr/bin/env bash
# Whole runs on one reader thread and on several: bench/jobs.sh [WORK_FOLDER]
#
# Builds the batch program and compares, round after round (bench/compare.py), `nabik --jobs 1`
# with `nabik --jobs N` (NABIK_BENCH_JOBS, default 2) over:
# - the ALL archives of the samples (the 503041 folder zipped, the 503060 ALL archive and the
#   JPGIS archive), the three given NABIK_BENCH_REPEAT times in one run (default 20);
# - the 200 MB Cntr and BldA files of bench/make_input.py (made if missing), both in one run.
# Prints each one's median wall time, MB/s of XML, peak memory and the median ratio of its
# throughput to --jobs 1 within a round, and the load of the machine before each comparison.
#
# Settings (environment): NABIK_BENCH_MB (default 200), NABIK_BENCH_ROUNDS (default 7),
# NABIK_BENCH_REPEAT, NABIK_BENCH_JOBS, NABIK_BENCH_BUILD (default build-zip).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
rounds=${NABIK_BENCH_ROUNDS:-7}
repeat=${NABIK_BENCH_REPEAT:-20}
jobs=${NABIK_BENCH_JOBS:-2}
build=${NABIK_BENCH_BUILD:-build-zip}
samples=$root/tests/data/fgd
mkdir -p "$work/zips"

echo "Building ($build, no windows)..."
if [[ -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" >/dev/null  # a folder made before keeps its options
else
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNABIK_BUILD_UI=OFF \
    -DNABIK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target nabik -j2 >/dev/null
nabik=$root/$build/nabik

run() {  # JOBS INPUT...: the batch run into the work folder's out/
  local jobs=$1
  shift
  echo "$(printf '%q' "$nabik") -q --jobs $jobs -o $(printf '%q' "$work/out/list.txt") $(printf '%q ' "$@")"
}

compare() {  # MEGABYTES INPUT...
  local size=$1
  shift
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
  python3 bench/compare.py "$rounds" "$size" "nabik --jobs 1" -- "$(run 1 "$@")" \
    "nabik --jobs $jobs" -- "$(run "$jobs" "$@")"
}

all=$work/zips/FG-GML-503041-ALL-20181001.zip
if [[ ! -f $all ]]; then
  (cd "$samples/gml/FG-GML-503041-ALL-20181001" && zip -q -r "$all" .)
fi
archives=("$all" "$samples/gml/FG-GML-503060-ALL-20170401.zip" "$samples/jpgis/FG-JPS-13112-05-Z001.zip")
runlist=()
for ((i = 0; i < repeat; ++i)); do runlist+=("${archives[@]}"); done
size=$(python3 - "${runlist[@]}" <<'PY'
import sys, zipfile
print(sum(i.file_size for a in sys.argv[1:] for i in zipfile.ZipFile(a).infolist()) / 1e6)
PY
)
echo
echo "ALL archives of the samples, $repeat times each: $(printf '%.0f' "$size") MB of XML"
compare "$size" "${runlist[@]}"

large=()
for layer in Cntr BldA; do
  input=$work/$layer.xml
  if [[ ! -f $input || $(stat -c %s "$input") -lt $((megabytes * 1000000)) ]]; then
    echo "Making $input ($megabytes MB)..."
    python3 bench/make_input.py "$samples/gml/FG-GML-503041-ALL-20181001/FG-GML-503041-$layer-20181001-0001.xml" \
      "$layer" "$input" "$megabytes"
  fi
  cat "$input" >/dev/null
  large+=("$input")
done
size=$(stat -c %s "${large[@]}" | awk '{s += $1} END {print int(s / 1e6)}')
echo
echo "The Cntr and BldA files in one run: $size MB of XML"
compare "$size" "${large[@]}"
rm -rf "$work/out"
