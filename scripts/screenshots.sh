#!/usr/bin/env bash
# Renders the windows offscreen into docs/ (no display needed): the main window with files in
# the list after a finished run over the sample data, the MapServer settings dialog, the map
# preview of a converted sample mesh with one building identified, and the same mesh drawn by
# `nabik --render`.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build-ui)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-ui}
bash scripts/build.sh "$dir"
mkdir -p docs
NABIK_SCREENSHOT_DIR="$PWD/docs" QT_QPA_PLATFORM=offscreen \
  "$dir/tests/ui_test" --gtest_filter='Run.PicturesOfBothWindows:Run.PictureOfThePreview'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$dir/nabik" --quiet -o "$work/list.txt" tests/data/fgd/gml/FG-GML-503041-ALL-20181001/*.xml
"$dir/nabik" --render docs/nabik-render.png --size 900x600 "$work"
ls -l docs/nabik-main.png docs/nabik-settings.png docs/nabik-preview.png docs/nabik-render.png
