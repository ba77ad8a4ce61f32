#!/usr/bin/env bash
# Where the conversion of one large file spends its time: bench/profile.sh [WORK_FOLDER]
#
# Samples `convert_one` (the run's own sequence on one file, as in bench/run.sh) with perf on
# the 200 MB Cntr and BldA files of bench/run.sh (made if missing) and prints the share of each
# library and of the kernel, the share of each thread (a large file's writes into its layer set
# run on a thread of their own), then the busiest functions.
#
# Settings (environment): NABIK_BENCH_MB (default 200), NABIK_BENCH_BUILD (default build-fgd).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-${TMPDIR:-/tmp}/nabik-bench}
megabytes=${NABIK_BENCH_MB:-200}
build=${NABIK_BENCH_BUILD:-build-fgd}
samples=$root/tests/data/fgd/gml/FG-GML-503041-ALL-20181001
mkdir -p "$work/out"

if ! command -v perf >/dev/null; then
  apt-get update -qq && apt-get install -y -qq linux-perf >/dev/null
fi

echo "Building ($build, release options)..."
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target nabikcore -j2 >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -g -I. bench/convert_one.cpp "$build/libnabikcore.a" \
  $(pkg-config --libs shapelib libzip libisal fontconfig) -ldl -pthread -o "$work/convert_one"

for layer in Cntr BldA; do
  input=$work/$layer.xml
  if [[ ! -f $input || $(stat -c %s "$input") -lt $((megabytes * 1000000)) ]]; then
    echo "Making $input ($megabytes MB)..."
    python3 bench/make_input.py "$samples/FG-GML-503041-$layer-20181001-0001.xml" "$layer" \
      "$input" "$megabytes"
  fi
  cat "$input" >/dev/null
  rm -rf "$work/out" && mkdir -p "$work/out"
  perf record -q -F 2000 -o "$work/perf.data" \
    "$work/convert_one" data/nabik.csv "$layer" "$input" "$work/out/" >/dev/null 2>&1
  echo
  echo "$layer ($(stat -c %s "$input" | awk '{printf "%.0f", $1 / 1e6}') MB), share of the samples:"
  perf report -i "$work/perf.data" --no-children --sort dso --stdio 2>/dev/null |
    awk '/^ +[0-9.]+%/ && $1 + 0 >= 0.5 {
      name = $2 == "convert_one" ? "reader and store (our code)" : $2
      printf "  %7s  %s\n", $1, name }'
  echo "  by thread (the first the reader, the other carries out the writes into the set):"
  perf report -i "$work/perf.data" --no-children --sort pid --stdio 2>/dev/null |
    awk '/^ +[0-9.]+%/ { printf "  %7s  thread %s\n", $1, $2 }' | sort -k3,3n
  echo "  busiest functions:"
  perf report -i "$work/perf.data" --no-children --sort dso,sym --stdio 2>/dev/null |
    awk '/^ +[0-9.]+%/ && n < 12 { ++n; $3 = ""; printf "  %s\n", $0 }'
done
rm -f "$work/perf.data"
