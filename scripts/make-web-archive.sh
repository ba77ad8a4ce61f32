#!/usr/bin/env bash
# Rebuilds data/ms4wmap10.lzh, the web tree the MapServer export unpacks into the output folder,
# from its source folder data/web/. Needs an LHA archiver (jlha from Debian's jlha-utils); the
# built archive is committed, so building the program needs none.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v jlha >/dev/null || { echo "jlha not found (apt-get install jlha-utils)" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -a data/web/. "$stage/"
# Git keeps no empty folders; the placeholders stay out of the archive, the folders stay in.
find "$stage" -name .gitkeep -delete
rm -f data/ms4wmap10.lzh
archive=$(pwd)/data/ms4wmap10.lzh
(cd "$stage" && jlha aq "$archive" ms4w)
jlha l data/ms4wmap10.lzh
