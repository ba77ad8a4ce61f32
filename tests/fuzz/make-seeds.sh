#!/usr/bin/env bash
# Builds the seed corpus of one fuzz target from the sample data and the test files:
#   make-seeds.sh TARGET FOLDER     TARGET: catalog ini reader unzip unlha32 dem run
# Large sample files are cut to their first lines: the fuzzer mutates small inputs far faster,
# and the head of a file already holds its declaration and its first features.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
samples="${NABIK_SAMPLES_DIR:-$root/tests/data/fgd}"
target="$1"
out="$(mkdir -p "$2" && cd "$2" && pwd)"


# Cuts an XML file to its first N lines; a feature cut in the middle is a good seed too.
cut_xml() { head -n "${3:-400}" "$1" >"$out/$2"; }

case "$target" in
  catalog)
    cp "$root/data/nabik.csv" "$out/shipped.csv"
    printf 'Road,T,1,name,,0 0 0,name,N,0,20,0\r\n' >"$out/one-line.csv"
    printf '; comment\nPt,T,3,,circle,1 2 3\nBad,T,x\n' >"$out/bad-kind.csv"
    printf 'Pt,T,3,,circle,1 2 3,alti,H,2,12,0,code,C,1,4,0\n' >"$out/numbers.csv"
    ;;
  ini)
    # "section \0 key \0 value \0" and then the file.
    for f in "$root"/tests/data/susetu/*.Ini; do
      { printf 'MapServer\0MapFile\0new.map\0'; cat "$f"; } >"$out/$(basename "$f").seed"
    done
    printf 'New\0Key\0 value \0[A]\r\nk=v\r\n; note\r\n\r\n[B]\nx = y' >"$out/new-section.seed"
    printf 'A\0K\0v\0[a]\nk=old\nk=second' >"$out/replace.seed"
    ;;
  reader)
    for f in "$samples"/gml/FG-GML-503041-ALL-20181001/FG-GML-*.xml; do
      cut_xml "$f" "$(basename "$f")"
    done
    cp "$samples/gml/FG-GML-13-RailCL25000-20080331-0001.xml" "$out/"
    cut_xml "$samples/gml/BldA-with-interior-rings-excerpt.xml" BldA-interior.xml 800
    cut_xml "$samples/jpgis/FG-JPS-13112-CommPt-20111221-0001.xml" jps-CommPt.xml
    tmp="$(mktemp -d)"
    # The archive's files are seeds too, where a zip reader is at hand.
    if command -v unzip >/dev/null; then
      (cd "$tmp" && unzip -qo "$samples/jpgis/FG-JPS-13112-05-Z001.zip")
    elif command -v python3 >/dev/null; then
      python3 -m zipfile -e "$samples/jpgis/FG-JPS-13112-05-Z001.zip" "$tmp"
    fi
    find "$tmp" -name '*.xml' | while read -r f; do cut_xml "$f" "jps-$(basename "$f")"; done
    rm -rf "$tmp"
    ;;
  unzip)
    printf 'a/b/c.xml\tone\nd\\e.xml\ttwo\n./x.xml\tthree\n../..\tfour\nfolder/\n' >"$out/names.seed"
    printf 'same.xml\tfirst\nother/same.xml\tsecond\n.\t\n\n' >"$out/repeated.seed"
    # A small real archive (the sample archives are large; one stored file is enough here).
    tmp="$(mktemp -d)"
    printf 'hello\n' >"$tmp/FG-GML-x.xml"
    mkdir -p "$tmp/dir"
    mv "$tmp/FG-GML-x.xml" "$tmp/dir/"
    if command -v zip >/dev/null; then
      (cd "$tmp" && zip -q "$out/small.zip" dir/FG-GML-x.xml)
    elif command -v python3 >/dev/null; then
      (cd "$tmp" && python3 -m zipfile -c "$out/small.zip" dir)
    fi
    rm -rf "$tmp"
    ;;
  dem)
    cp "$root/tests/data/dem/FG-GML-5235-37-59-DEM5A-20161001.xml" "$out/"
    cut_xml "$root/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml" head-5238.xml
    # A whole small file: the tuple list's end and the start point after it.
    { head -n 49 "$root/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml"
      tail -n 13 "$root/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml"; } >"$out/short-5238.xml"
    ;;
  run)
    # Two bytes of options (see run_fuzz.cpp: output format, plain file, stored entries; the
    # repeat count) and then the XML file or the archive.
    seed() { { printf "$1"; cat; } >"$out/$2"; }
    mesh="$samples/gml/FG-GML-503041-ALL-20181001"
    seed '\0\0' RailCL.seed <"$samples/gml/FG-GML-13-RailCL25000-20080331-0001.xml"
    seed '\1\0' AdmPt-gpkg.seed <"$mesh/FG-GML-503041-AdmPt-20181001-0001.xml"
    head -n 120 "$samples/jpgis/FG-JPS-13112-CommPt-20111221-0001.xml" | seed '\6\0' jps-CommPt.seed
    # Repeated past a block of the set writer (1024 features), which then writes on its thread.
    seed '\0\377' ElevPt-writer.seed <"$mesh/FG-GML-503041-ElevPt-20181001-0001.xml"
    head -n 300 "$mesh/FG-GML-503041-Cntr-20181001-0001.xml" | seed '\5\1' Cntr-gpkg.seed
    # A small real archive of two cut files, used as both input archives.
    tmp="$(mktemp -d)"
    mkdir "$tmp/FG-GML-503041-ALL-20181001"
    for layer in WL AdmBdry; do
      head -n 150 "$mesh/FG-GML-503041-$layer-20181001-0001.xml" \
        >"$tmp/FG-GML-503041-ALL-20181001/FG-GML-503041-$layer-20181001-0001.xml"
    done
    if command -v zip >/dev/null; then
      (cd "$tmp" && zip -qr archive.zip FG-GML-503041-ALL-20181001)
    elif command -v python3 >/dev/null; then
      (cd "$tmp" && python3 -m zipfile -c archive.zip FG-GML-503041-ALL-20181001)
    fi
    [[ -f "$tmp/archive.zip" ]] && seed '\0\0' archive.seed <"$tmp/archive.zip"
    rm -rf "$tmp"
    ;;
  unlha32)
    cp "$root"/tests/data/lha/*.lzh "$root/data/ms4wmap10.lzh" "$out/"
    ;;
  *)
    echo "unknown target: $target" >&2
    exit 2
    ;;
esac
