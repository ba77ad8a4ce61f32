#!/usr/bin/env bash
# Speed of the vertex transformer: bench/crs.sh [TARGET [VERTICES]]
#
# Builds the core library (NABIK_BENCH_BUILD, default build-fgd) and bench/crs_bench.cpp, and
# prints vertices per second from JGD2011 and JGD2000 latitude/longitude into TARGET (default
# EPSG:6677, zone IX) in batches of 1, 64, 1024 and 16384 vertices, and the transformation PROJ
# used for each source datum.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${NABIK_BENCH_BUILD:-build-fgd}
work=${TMPDIR:-/tmp}/nabik-bench
mkdir -p "$work"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target nabikcore -j2 >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -I. bench/crs_bench.cpp "$build/libnabikcore.a" \
  $(pkg-config --libs shapelib libzip libisal fontconfig proj) -ldl -pthread -o "$work/crs_bench"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$work/crs_bench" "$@"
