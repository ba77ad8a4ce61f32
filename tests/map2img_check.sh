#!/usr/bin/env bash
# An exported map file, after the mechanical rewrites that MapServer 8 needs for an old-style
# map file, loads in map2img and draws every one of its layers. The map file itself is written
# as it always is; only a rewritten copy is drawn.
#
#   tests/map2img_check.sh MAPSERVER_TEST_PROGRAM SOURCE_DIR
#
# Exits 77 (skipped) when map2img, gdalinfo or fc-match is missing.
set -euo pipefail
test_program=$1
source_dir=$2
for tool in map2img gdalinfo fc-match iconv; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not found: skipped"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out="$work/Out/"
mkdir -p "$out"

# The export: three layers (line, polygon, point) with real shapefiles, labels and a symbol.
NABIK_EXPORT_FOLDER="$out" "$test_program" \
  --gtest_filter='MapFileTest.EveryDataValueNamesAShapefileInShapePath' >"$work/export.log" ||
  { cat "$work/export.log"; exit 1; }
map="$out/ms4w/Apache/htdocs/list.map"

# What the web export puts beside it: the symbol file and the font list with the alias used.
mkdir -p "$out/etc"
cp "$source_dir/data/symbols.sym" "$out/etc/symbols.sym"
printf 'gothic %s\n' "$(fc-match -f '%{file}' 'sans-serif:lang=ja')" >"$out/etc/winfonts.txt"

# MapServer 8 reads no map file without a configuration that allows it.
cat >"$work/mapserver.conf" <<EOF
CONFIG
  ENV
    MS_MAP_PATTERN "."
  END
END
EOF
export MAPSERVER_CONFIG_FILE="$work/mapserver.conf"

# The rewrites: UTF-8 text with the layer's data encoding declared; keywords renamed or moved
# into the blocks MapServer 8 has; keywords it no longer knows dropped; class colours into a
# STYLE; symbol names quoted; the GD drivers replaced by AGG; the empty projection parameter dropped.
rewrite() {
  iconv -f CP932 -t UTF-8 "$1" | tr -d '\r' | sed -E \
    -e 's/^( *)MAXSCALE /\1MAXSCALEDENOM /' \
    -e 's/^( *)MINSCALE /\1MINSCALEDENOM /' \
    -e 's/^( *)TRANSPARENCY ([0-9]+)$/\1COMPOSITE OPACITY \2 END/' \
    -e 's/^( *)DATA (.*)$/\1DATA \2\n\1ENCODING "CP932"/' \
    -e 's/^( *)SYMBOL ([A-Za-z_][A-Za-z0-9_]*)$/\1SYMBOL "\2"/' \
    -e 's#"GD/(PNG|GIF)"#"AGG/PNG"#' \
    -e '/^ *QUERYFORMAT /d' \
    -e '/^ *TYPE (BITMAP|TRUETYPE)$/d' \
    -e '/^ *ENCODING SJIS$/d' \
    -e '/^ *(MINDISTANCE|MINFEATURESIZE) -1$/d' \
    -e '/^ *(MARKER|MARKERSIZE|MAXBOXSIZE) 0$/d' \
    -e '/^ *""$/d' |
    awk '
      # COLOR and OUTLINECOLOR directly in a CLASS (seven blanks) become a STYLE of their own.
      /^       (COLOR|OUTLINECOLOR) / { style = style "   " $0 "\n"; next }
      style != "" { printf "       STYLE\n%s       END\n", style; style = "" }
      { print }'
}
rewrite "$map" >"$work/ms8.map"

# Keeps layer `keep` (from 1; 0 for none) drawn and switches every other layer off.
only_layer() {
  awk -v keep="$1" '
    /^LAYER$/ { layer++ }
    /^  STATUS DEFAULT$/ && layer != keep { print "  STATUS OFF"; next }
    { print }' "$work/ms8.map"
}

# True when the image has a pixel that is not the white background.
drawn() {
  gdalinfo -stats "$1" 2>/dev/null | grep -Eq 'Minimum=([0-9]|[0-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-4])\.'
}

draw() {
  local mapfile=$1 image=$2
  if ! map2img -m "$mapfile" -o "$image" >"$image.log" 2>&1 || grep -q . "$image.log"; then
    echo "map2img failed on $mapfile:"
    cat "$image.log"
    exit 1
  fi
}

draw "$work/ms8.map" "$work/all.png"
drawn "$work/all.png" || { echo "the whole map draws nothing"; exit 1; }

only_layer 0 >"$work/none.map"
draw "$work/none.map" "$work/none.png"
if drawn "$work/none.png"; then
  echo "a map without layers is not blank: the check cannot tell drawn layers"
  exit 1
fi

layers=$(grep -c '^LAYER$' "$work/ms8.map")
[ "$layers" -eq 3 ] || { echo "expected 3 layers, found $layers"; exit 1; }
for ((n = 1; n <= layers; n++)); do
  only_layer "$n" >"$work/layer$n.map"
  draw "$work/layer$n.map" "$work/layer$n.png"
  if ! drawn "$work/layer$n.png"; then
    echo "layer $n draws nothing:"
    grep -m "$n" '^  NAME ' "$work/ms8.map" | tail -1
    exit 1
  fi
done
echo "map2img drew the whole map and each of its $layers layers"
