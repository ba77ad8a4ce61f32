#!/usr/bin/env bash
# Renders both windows offscreen into docs/ (no display needed): the main window with files in
# the list after a finished run over the sample data, and the MapServer settings dialog; and the
# MapServer 8 viewer in headless Chromium.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build-ui)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-ui}
bash scripts/build.sh "$dir"
mkdir -p docs
NABIK_SCREENSHOT_DIR="$PWD/docs" QT_QPA_PLATFORM=offscreen \
  "$dir/tests/ui_test" --gtest_filter='Run.PicturesOfBothWindows'
# The MapServer 8 viewer in headless Chromium, from the test that drives it.
NABIK_SCREENSHOT_DIR="$PWD/docs" /usr/bin/python3 tests/ms8_check.py "$dir/nabik" "$PWD" gml
ls -l docs/nabik-main.png docs/nabik-settings.png docs/nabik-viewer.png
