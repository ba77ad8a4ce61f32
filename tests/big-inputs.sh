#!/usr/bin/env bash
# Big inputs, measured with /usr/bin/time -v: one FGD file of about 2 GB (and one of a tenth of
# that, to show memory stays flat), and runs over 10 and 1 000 input files. Every run is checked:
# exit status 0 and ogrinfo's feature counts equal to the features put in. The inputs are made
# from a real sample file by repeating its features, and are deleted afterwards.
#
#   tests/big-inputs.sh [NABIK] [WORK-FOLDER]      (defaults: build-hard/nabik, /tmp/nabik-big)
#
# Prints one Markdown table row per run: input, size, features, peak RSS, wall time.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
nabik="$(realpath "${1:-$repo/build-hard/nabik}")"
work="${2:-/tmp/nabik-big}"
samples="${NABIK_SAMPLES_DIR:-$repo/tests/data/fgd}"
mesh="$samples/gml/FG-GML-503041-ALL-20181001"
settings="$repo/data/demo/nabik-demo.Ini"
big_bytes="${NABIK_BIG_BYTES:-2147483648}"

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# Writes the sample's header, its features repeated until the file reaches `bytes`, and its
# closing lines. Prints the number of features written.
repeat_features() {  # sample layer bytes target
  python3 - "$@" <<'PY'
import sys
sample, layer, size, target = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
lines = open(sample, 'rb').read().split(b'\n')
start = next(i for i, l in enumerate(lines) if l.startswith(b'<' + layer.encode() + b' '))
end = max(i for i, l in enumerate(lines) if l.startswith(b'</' + layer.encode() + b'>')) + 1
head, body, tail = (b'\n'.join(part) + b'\n' for part in (lines[:start], lines[start:end], lines[end:]))
per_body = body.count(b'<' + layer.encode() + b' ')
block = body * max(1, (64 << 20) // len(body))
written = features = 0
with open(target, 'wb') as out:
    out.write(head)
    while written + len(block) <= size:
        out.write(block); written += len(block); features += per_body * (len(block) // len(body))
    while written + len(body) <= size:
        out.write(body); written += len(body); features += per_body
    out.write(tail.rstrip(b'\n'))
print(features)
PY
}

# Runs nabik over the given inputs into its own output folder and prints the table row.
measure() {  # label features output inputs...
  local label="$1" features="$2" out="$3"
  shift 3
  local bytes
  bytes=$(cat "$@" | wc -c)
  /usr/bin/time -v -o "$work/time.txt" "$nabik" --quiet --settings "$settings" -o "$out/list.txt" "$@" \
    2>"$work/stderr.txt" || { cat "$work/stderr.txt" >&2; exit 1; }
  local rss wall counted=0
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
  for shp in "$out"/*.shp; do
    counted=$((counted + $(ogrinfo -ro -so -al "$shp" | awk -F': ' '/Feature Count/ {print $2}')))
  done
  if [[ "$counted" -ne "$features" ]]; then
    echo "$label: ogrinfo counts $counted features, $features were put in" >&2
    exit 1
  fi
  printf '| %s | %d MB | %d | %d MB | %s |\n' "$label" $((bytes >> 20)) "$features" \
    $((rss / 1024)) "$wall"
  rm -rf "$out"
}

echo "| input | size | features | peak RSS | wall time |"
echo "|---|---|---|---|---|"
for bytes in $((big_bytes / 10)) "$big_bytes"; do
  file="$work/FG-GML-503041-Cntr-big.xml"
  features=$(repeat_features "$mesh/FG-GML-503041-Cntr-20181001-0001.xml" Cntr "$bytes" "$file")
  measure "one Cntr file" "$features" "$work/out" "$file"
  rm -f "$file"
done

# Many files: the mesh's layer files in turn, each under a name of its own.
layers=(WL ElevPt GCP WStrL RdCompt BldL Cntr AdmPt WA Cstline)
for count in 10 1000; do
  mkdir -p "$work/many"
  features=0
  for ((i = 0; i < count; ++i)); do
    layer="${layers[i % ${#layers[@]}]}"
    src="$mesh/FG-GML-503041-$layer-20181001-0001.xml"
    cp "$src" "$work/many/$(printf '%04d' "$i")-FG-GML-503041-$layer.xml"
    features=$((features + $(grep -c "^<$layer " "$src")))
  done
  measure "$count files" "$features" "$work/out" "$work/many"/*.xml
  rm -rf "$work/many"
done
