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
# shellcheck source=bench/batch_inputs.sh
source bench/batch_inputs.sh

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

size=$(xml_megabytes "${runlist[@]}")
echo
echo "ALL archives of the samples, $repeat times each: $(printf '%.0f' "$size") MB of XML"
compare "$size" "${runlist[@]}"

size=$(stat -c %s "${large[@]}" | awk '{s += $1} END {print int(s / 1e6)}')
echo
echo "The Cntr and BldA files in one run: $size MB of XML"
compare "$size" "${large[@]}"
rm -rf "$work/out"
