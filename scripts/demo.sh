#!/usr/bin/env bash
# The main job on bundled data: installs what is missing, builds, and converts the demo data
# (a whole GML mesh in a zip and a JPGIS point file) into ./out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
out="$PWD/out"
rm -rf "$out"
build/nabik --settings data/demo/nabik-demo.Ini --mapserver 8 -o "$out/nabik.txt" \
  data/demo/FG-GML-503060-ALL-20170401.zip data/demo/FG-JPS-13112-CommPt-20111221-0001.xml
echo
echo "Shapefiles:  $out/*.shp ($(ls "$out"/*.shp | wc -l) layers)"
echo "Map file:    $out/mapserver8/nabik.map"
echo "PHP page:    (cd $out/mapserver8/htdocs && php nabik.php)"
echo "Web server:  lighttpd -D -f $out/mapserver8/lighttpd.conf"
echo "Viewer:      http://127.0.0.1:$(sed -n "s/^server.port = //p" "$out/mapserver8/lighttpd.conf")/"
echo "Run list:    $out/nabik.txt"
