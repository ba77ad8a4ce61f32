#!/usr/bin/env bash
# The Debian package built by cpack and unpacked by dpkg-deb converts a sample. From that
# root-owned tree the real program runs as user 65534 on Xvfb, driven by xdotool: closing stores
# the output path in the user's settings file (a copy of the shipped nabik.Ini), the next start
# shows it, the dialog saves there and the batch mode reads it; a copy the user owns keeps
# nabik.Ini beside itself.   tests/package_check.sh BUILD_DIR SOURCE_DIR DATA_FILE...
# The user reads only what lies in the test's own folder, so the checkout's place and the modes
# of the folders above it (a clone in /root, say) do not matter.
set -euo pipefail
build=$1 source=$2
shift 2
[[ $(id -u) -eq 0 ]] || { echo "not root: skipped"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d) xvfb=""
trap '[[ -n $xvfb ]] && kill "$xvfb"; rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 755 "$work/input"
sample="$work/input/FG-JPS-13112-05-Z001.zip"
install -m 644 "$source/tests/data/fgd/jpgis/FG-JPS-13112-05-Z001.zip" "$sample"

(cd "$build" && cpack -G DEB -B "$work/pack" >"$work/cpack.log") || { cat "$work/cpack.log"; fail cpack; }
deb=$(ls "$work"/pack/nabik_*_amd64.deb)
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
root="$work/root" program="$work/root/opt/nabik"
dpkg-deb -x "$deb" "$root"
for f in nabik "$@"; do [[ -f "$program/$f" ]] || fail "no $f beside the program"; done
[[ $(readlink -f "$root/usr/bin/nabik") == "$program/nabik" ]] || fail "usr/bin/nabik leads elsewhere"
grep -qx 'Name\[ja\]=基盤地図情報コンバータ Nabik' "$root/usr/share/applications/nabik.desktop" || fail "desktop entry"
[[ -s "$root/usr/share/icons/hicolor/scalable/apps/nabik.svg" ]] || fail "icon"

"$root/usr/bin/nabik" --quiet -o "$work/out/list.txt" "$sample" || fail "the unpacked program's run"
counts=$(for shp in "$work"/out/*.shp; do ogrinfo -ro -so -al "$shp" | grep 'Feature Count: [1-9]'; done)
[[ $(wc -l <<<"$counts") -eq 3 ]] || fail "expected 3 sets with features: $counts"

sjis() { printf '%s\r\n' "$@" | iconv -f UTF-8 -t CP932; }
utf8() { iconv -f CP932 -t UTF-8 "$1" | tr -d '\r'; }
sjis '[MapServer]' 'Map名=shipped' >"$program/nabik.Ini"
home="$work/home" ini="$work/home/.config/nabik/nabik.Ini"
mkdir -m 700 "$home" "$work/run" && chown 65534:65534 "$home" "$work/run"
Xvfb -displayfd 3 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
as_user() {
  setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$home" \
    XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" DISPLAY="$DISPLAY" "$@"
}
click() { xdotool mousemove --sync --window "$1" "$2" "$3" click 1 && sleep 0.3; }
find_window() { timeout 20 xdotool search --sync --onlyvisible --name "$1" | head -1; }
# Starts the window of program $1, types $2 (if given) as the output path, runs $3 (if given)
# and closes the window with ④.
session() {
  as_user "$1" >>"$work/window.log" 2>&1 &
  local pid=$! window
  window=$(find_window '^NabikF$') || fail "no window: $(cat "$work/window.log")"
  [[ -z ${2:-} ]] || { click "$window" 200 74 && xdotool type "$2"; }
  [[ -z ${3:-} ]] || $3 "$window"
  click "$window" 357 52
  timeout 20 tail --pid="$pid" -f /dev/null || fail "the window did not close"
  wait "$pid" || fail "the program ended with an error: $(cat "$work/window.log")"
}
dialog_ok() {
  click "$1" 349 516
  click "$(find_window '^mapserver')" 521 24
}

session "$root/usr/bin/nabik" "$home/list.txt"
{ cat "$program/nabik.Ini" && sjis '[フォルダー]' "出力=$home/list.txt"; } | cmp - "$ini" || fail "closing stored: $(utf8 "$ini")"
session "$root/usr/bin/nabik" "" dialog_ok
settings=$(utf8 "$ini")
grep -qx "出力=$home/list.txt" <<<"$settings" || fail "the next start lost the path: $settings"
[[ $(grep -c = <<<"$settings") -eq 15 ]] && grep -qx 'Map名=shipped' <<<"$settings" || fail "dialog saved: $settings"
[[ $(utf8 "$program/nabik.Ini") == $'[MapServer]\nMap名=shipped' ]] || fail "the shipped file changed"

sed -i 's/=shipped/=mine/' "$ini"
as_user "$root/usr/bin/nabik" --quiet -o "$home/out/list.txt" "$sample" || fail "batch run as the user"
[[ $(sed -n 2p "$home/out/ms4w/Apache/htdocs/list.map") == $'#mine\r' ]] || fail "batch mode read other settings"

cp -a "$program" "$work/copy" && chown -R 65534:65534 "$work/copy"
before=$(cat "$ini")
session "$work/copy/nabik" "$home/copy.txt"
grep -qx "出力=$home/copy.txt" <(utf8 "$work/copy/nabik.Ini") || fail "the copy's own file"
[[ "$(cat "$ini")" == "$before" ]] || fail "the copy wrote the user's file"
echo "package $(basename "$deb"): converted, settings in the user's folder and beside an own copy"
