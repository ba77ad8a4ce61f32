#!/usr/bin/env bash
# The main job on bundled data: installs what is missing, builds, and converts the demo data
# (a whole GML mesh in a zip and a JPGIS point file) into ./out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
out="$PWD/out"
rm -rf "$out"
build/nabik --settings data/demo/nabik-demo.Ini -o "$out/nabik.txt" \
  data/demo/FG-GML-503060-ALL-20170401.zip data/demo/FG-JPS-13112-CommPt-20111221-0001.xml
echo
echo "Shapefiles:  $out/*.shp ($(ls "$out"/*.shp | wc -l) layers)"
echo "Map file:    $out/ms4w/Apache/htdocs/nabik.map"
echo "Viewer page: $out/nabik.php"
echo "Run list:    $out/nabik.txt"
