#!/usr/bin/env bash
# The main job on bundled data: installs what is missing, builds, and converts one region in
# each encoding (see data/demo/README.md): the whole GML mesh 503041, zipped as the agency ships
# a mesh, into ./out/gml/, and Setagaya's JPGIS files into ./out/jpgis/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
nabik=(build/nabik --settings data/demo/nabik-demo.Ini --mapserver 8)
samples=tests/data/fgd
out="$PWD/out"
rm -rf "$out"
mkdir -p "$out"
mesh="$out/FG-GML-503041-ALL-20181001.zip"
zip -qj "$mesh" "$samples"/gml/FG-GML-503041-ALL-20181001/*
"${nabik[@]}" -o "$out/gml/nabik.txt" "$mesh"
"${nabik[@]}" -o "$out/jpgis/nabik.txt" \
  "$samples/jpgis/FG-JPS-13112-05-Z001.zip" "$samples/jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"
echo
for encoding in gml jpgis; do
  ms8="$out/$encoding/mapserver8"
  echo "$encoding:"
  echo "  Shapefiles:  $out/$encoding/*.shp ($(ls "$out/$encoding"/*.shp | wc -l) layers)"
  echo "  Map file:    $ms8/nabik.map"
  echo "  PHP page:    (cd $ms8/htdocs && php nabik.php)"
  echo "  Web server:  lighttpd -D -f $ms8/lighttpd.conf"
  echo "  Viewer:      http://127.0.0.1:$(sed -n "s/^server.port = //p" "$ms8/lighttpd.conf")/"
  echo "  Run list:    $out/$encoding/nabik.txt"
done
