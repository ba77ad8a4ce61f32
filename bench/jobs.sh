#!/usr/bin/env bash
# Whole runs on one reader thread and on several: bench/jobs.sh [WORK_FOLDER]
#
# Builds the batch program and compares, round after round (bench/compare.py), `nabik --jobs 1`,
# `nabik --jobs N` (NABIK_BENCH_JOBS, default: the cores) and `unzip -p` of the same archives
# (not for the bulk package, whose entries are archives) over:
# - the ALL archives of the samples (the 503041 folder zipped, the 503060 ALL archive and the
#   JPGIS archive), the three given NABIK_BENCH_REPEAT times in one run (default 20);
# - the same archives in one bulk package (a zip holding them, under names of their own), as
#   a whole area is downloaded;
# - one archive each of the 200 MB Cntr and BldA files of bench/make_input.py, both in one run.
# Prints each one's median wall time, MB/s of XML, peak memory and the median ratio of its
# throughput to --jobs 1 within a round, and the load of the machine before each comparison.
# The runs write into WORK_FOLDER/out: put it on a RAM disk (/dev/shm) to leave the disk's own
# costs out.
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
jobs=${NABIK_BENCH_JOBS:-$(nproc)}
build=${NABIK_BENCH_BUILD:-build-zip}
# shellcheck source=bench/batch_inputs.sh
source bench/batch_inputs.sh

run() {  # JOBS INPUT...: the batch run into the work folder's out/
  local jobs=$1
  shift
  echo "$(printf '%q' "$nabik") -q --jobs $jobs -o $(printf '%q' "$work/out/list.txt") $(printf '%q ' "$@")"
}

compare() {  # MEGABYTES UNZIP(yes|no) INPUT...
  local size=$1 unzip=$2
  shift 2
  local also=()
  [[ $unzip == yes ]] &&
    also=("unzip -p" -- "for a in $(printf '%q ' "$@"); do unzip -p \"\$a\"; done >/dev/null")
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
  python3 bench/compare.py "$rounds" "$size" "nabik --jobs 1" -- "$(run 1 "$@")" \
    "nabik --jobs $jobs" -- "$(run "$jobs" "$@")" "${also[@]}"
}

size=$(xml_megabytes "${runlist[@]}")
echo
echo "ALL archives of the samples, $repeat times each: $(printf '%.0f' "$size") MB of XML"
compare "$size" yes "${runlist[@]}"

bulk=$work/zips/PackDLMap-$repeat.zip
if [[ ! -f $bulk ]]; then
  rm -rf "$work/bulk" && mkdir -p "$work/bulk"
  for ((i = 0; i < repeat; ++i)); do
    for a in "${archives[@]}"; do cp "$a" "$work/bulk/$(printf '%02d' "$i")-$(basename "$a")"; done
  done
  (cd "$work/bulk" && zip -q -0 "$bulk" ./*.zip)
  rm -rf "$work/bulk"
fi
echo
echo "The same archives in one bulk package: $(printf '%.0f' "$size") MB of XML"
compare "$size" no "$bulk"  # unzip -p would give the inner archives

zips=()
for input in "${large[@]}"; do
  archive=$work/zips/$(basename "$input" .xml).zip
  [[ -f $archive ]] || (cd "$(dirname "$input")" && zip -q "$archive" "$(basename "$input")")
  zips+=("$archive")
done
size=$(xml_megabytes "${zips[@]}")
echo
echo "The Cntr and BldA archives in one run: $(printf '%.0f' "$size") MB of XML"
compare "$size" yes "${zips[@]}"
rm -rf "$work/out"
