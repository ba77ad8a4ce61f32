#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a given time.
#
#   scripts/fuzz.sh [--build DIR] [--commit REV] [--parallel N] [--build-only] SECONDS [TARGET...]
#
# TARGET is catalog, ini, reader, unzip, unlha32, dem or run (default: all). --commit fuzzes the sources
# of a commit instead of the working tree (exported under DIR/src). Each target keeps its corpus
# in DIR/corpus/TARGET, its log in DIR/logs/TARGET.log and what it finds in DIR/findings/TARGET/.
# Fuzzers run at the lowest priority, at most N (default 2) at a time.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build-fuzz"
commit=""
parallel=2
build_only=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$(realpath -m "$2")"; shift 2 ;;
    --commit) commit="$2"; shift 2 ;;
    --parallel) parallel="$2"; shift 2 ;;
    --build-only) build_only=1; shift ;;
    *) break ;;
  esac
done
if [[ $build_only -eq 0 && $# -lt 1 ]]; then
  sed -n 2,11p "$0" >&2
  exit 2
fi
seconds="${1:-0}"
[[ $# -gt 0 ]] && shift
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(catalog ini reader unzip unlha32 dem run)

src="$repo"
if [[ -n "$commit" ]]; then
  src="$build/src"
  rm -rf "$src" && mkdir -p "$src"
  git -C "$repo" archive "$commit" | tar -x -C "$src"
fi

cxx="${CXX_FUZZ:-clang++}"
sanitizers="address,undefined"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=undefined
       -I"$src" $(pkg-config --cflags liblhasa shapelib libzip fontconfig gdal proj)
       -DNABIK_VERSION=\"fuzz\" -DNABIK_CATALOG_FILE=\"$src/data/nabik.csv\")
libs=($(pkg-config --libs shapelib libzip libisal fontconfig gdal proj) -ldl -pthread)

# The core library, instrumented for coverage but without libFuzzer's main.
mkdir -p "$build/obj" "$build/logs"
core=()
for dir in common catalog run fgd output dem shpctl ogr mapserver susetu unlha32 preview crs; do
  for f in "$src/$dir"/*.cpp; do core+=("$f"); done
done
# Rebuilds an object when its source or any header of the tree is newer.
stale() {
  [[ ! -f "$2" || "$1" -nt "$2" ]] && return 0
  [[ -n "$(find "$src" "$repo/tests/fuzz" -name '*.h' -newer "$2" -print -quit)" ]]
}
objects=()
running=0
for f in "${core[@]}" "$repo/tests/fuzz/fuzz_support.cpp"; do
  object="$build/obj/$(basename "$(dirname "$f")")_$(basename "${f%.cpp}").o"
  objects+=("$object")
  if stale "$f" "$object"; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link,"$sanitizers" -c "$f" -o "$object" &
    if (( ++running == 2 )); then wait -n; running=1; fi
  fi
done
while (( running > 0 )); do wait -n; running=$((running - 1)); done

for t in "${targets[@]}"; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer,"$sanitizers" -I"$repo/tests/fuzz" \
    "$repo/tests/fuzz/${t}_fuzz.cpp" "${objects[@]}" "${libs[@]}" -o "$build/${t}_fuzz"
done
echo "built: ${targets[*]/%/_fuzz} in $build"
[[ $build_only -eq 1 ]] && exit 0

# Scratch files of the targets go to memory where it exists (fsync there costs nothing), in a
# folder of this run: libFuzzer ends a target without its cleanup, so the folder goes here.
scratch_root=/tmp
[[ -d /dev/shm ]] && scratch_root=/dev/shm
TMPDIR="$(mktemp -d "$scratch_root/nabik-fuzz-run-XXXXXX")"
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

run_one() {
  local t="$1"
  rm -rf "$build/seeds/$t"
  bash "$repo/tests/fuzz/make-seeds.sh" "$t" "$build/seeds/$t"
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  local max_len=16384
  [[ "$t" == reader ]] && max_len=65536
  local start
  start="$(date +%s)"
  nice -n 19 "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$build/findings/$t/" \
    "$build/corpus/$t" "$build/seeds/$t" >"$build/logs/$t.log" 2>&1 || true
  local execs
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$t.log" | grep -o '[0-9]*$' || echo '?')"
  echo "$t: $(($(date +%s) - start))s, ${execs} executions, $(ls "$build/findings/$t" | wc -l) findings," \
       "corpus $(ls "$build/corpus/$t" | wc -l) inputs"
}
export -f run_one
export build repo seconds
printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run_one {}'
