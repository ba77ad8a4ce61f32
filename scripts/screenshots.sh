#!/usr/bin/env bash
# Renders the windows offscreen into docs/ (no display needed): the main window after a run over
# the demo's GML mesh with the JPGIS files added since, the main window during a run over all of
# them with its progress bar part way, the MapServer settings dialog, the map
# preview of the converted mesh with one building identified, the same mesh drawn by
# `nabik --render`, and the MapServer 8 viewer in headless Chromium.
# The demo's inputs are staged in a neutral folder, so the pictures show no path of this machine.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build-ui)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-ui}
bash scripts/build.sh "$dir"
demo=/home/user/nabik-demo
[[ -e "$demo" ]] && { echo "$demo exists; move it away first" >&2; exit 1; }
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo"
samples=tests/data/fgd
zip -qj "$demo/FG-GML-503041-ALL-20181001.zip" "$samples"/gml/FG-GML-503041-ALL-20181001/*
cp "$samples/jpgis/FG-JPS-13112-05-Z001.zip" "$samples/jpgis/FG-JPS-13112-CommPt-20111221-0001.xml" \
  "$demo/"
mkdir -p docs
pictures=Run.PicturesOfBothWindows:Run.PictureOfThePreview
pictures+=:Run.TheProgressBarFillsDuringARunAndIsHiddenAfter
NABIK_SCREENSHOT_DIR="$PWD/docs" NABIK_SCREENSHOT_DATA="$demo" QT_QPA_PLATFORM=offscreen \
  "$dir/tests/ui_test" --gtest_filter="$pictures"
work=$(mktemp -d)
trap 'rm -rf "$demo" "$work"' EXIT
"$dir/nabik" --quiet -o "$work/list.txt" "$samples"/gml/FG-GML-503041-ALL-20181001/*.xml
"$dir/nabik" --render docs/nabik-render.png --size 900x600 "$work"
# The MapServer 8 viewer in headless Chromium, from the test that drives it.
NABIK_SCREENSHOT_DIR="$PWD/docs" /usr/bin/python3 tests/ms8_check.py "$dir/nabik" "$PWD" gml
ls -l docs/nabik-main.png docs/nabik-progress.png docs/nabik-settings.png docs/nabik-preview.png \
  docs/nabik-render.png docs/nabik-viewer.png
