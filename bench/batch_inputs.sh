# Sourced by the whole-run benchmarks (gdal.sh, crs_run.sh, jobs.sh) after they set root, work,
# megabytes, repeat and build. Builds the batch program (release options, no windows, unless
# the build folder was made before) into $nabik, and sets
#   archives  the ALL archives of the samples (the 503041 folder zipped, the 503060 ALL archive,
#             the JPGIS archive),
#   runlist   those given $repeat times,
#   large     the $megabytes MB Cntr and BldA files of make_input.py (made if missing),
# and xml_megabytes ARCHIVE...: the XML they hold, in MB.
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

all=$work/zips/FG-GML-503041-ALL-20181001.zip
[[ -f $all ]] || (cd "$samples/gml/FG-GML-503041-ALL-20181001" && zip -q -r "$all" .)
archives=("$all" "$samples/gml/FG-GML-503060-ALL-20170401.zip" "$samples/jpgis/FG-JPS-13112-05-Z001.zip")
runlist=()
for ((i = 0; i < repeat; ++i)); do runlist+=("${archives[@]}"); done

large=()
for layer in Cntr BldA; do
  input=$work/$layer.xml
  [[ -f $input && $(stat -c %s "$input") -ge $((megabytes * 1000000)) ]] ||
    python3 bench/make_input.py "$samples/gml/FG-GML-503041-ALL-20181001/FG-GML-503041-$layer-20181001-0001.xml" \
      "$layer" "$input" "$megabytes"
  cat "$input" >/dev/null  # into the page cache
  large+=("$input")
done

xml_megabytes() {
  python3 - "$@" <<'PY'
import sys, zipfile
print(sum(i.file_size for a in sys.argv[1:] for i in zipfile.ZipFile(a).infolist()) / 1e6)
PY
}
