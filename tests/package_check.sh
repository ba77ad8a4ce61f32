#!/usr/bin/env bash
# The Debian package: cpack builds it from the build tree, dpkg-deb unpacks it into a scratch
# folder, and the unpacked program (reached through its command link) converts a sample. Then,
# from that root-owned tree, the real program runs as an unprivileged user on an Xvfb display
# driven by xdotool: the window's close stores the output path in the user's settings file,
# which starts as the shipped nabik.Ini; the next start shows the path again; the settings
# dialog saves there; the batch mode reads that file. A copy the user owns keeps nabik.Ini
# beside itself.
#
#   tests/package_check.sh BUILD_DIR SOURCE_DIR DATA_FILE...
#
# Runs as root (setpriv); exits 77 (skipped) otherwise.
set -euo pipefail
build=$1
source_dir=$2
shift 2
data_files=("$@")
[[ $(id -u) -eq 0 ]] || { echo "not root: skipped"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

work=$(mktemp -d)
xvfb=""
trap '[[ -n $xvfb ]] && kill "$xvfb"; rm -rf "$work"' EXIT
chmod 755 "$work"

# --- the package and what it holds ---
(cd "$build" && cpack -G DEB -B "$work/pack" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pack/nabik_*_amd64.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "no Qt in Depends: $(dpkg-deb -f "$deb" Depends)"
root="$work/root"
dpkg-deb -x "$deb" "$root"
program="$root/opt/nabik"
for f in nabik "${data_files[@]}"; do
  [[ -f "$program/$f" ]] || fail "the package lacks $f beside the program"
done
[[ $(readlink -f "$root/usr/bin/nabik") == "$program/nabik" ]] || fail "usr/bin/nabik does not lead to the program"
grep -qx 'Name\[ja\]=基盤地図情報コンバータ Nabik' "$root/usr/share/applications/nabik.desktop" ||
  fail "desktop entry"
grep -qx 'Icon=nabik' "$root/usr/share/applications/nabik.desktop" || fail "desktop entry icon"
[[ -s "$root/usr/share/icons/hicolor/scalable/apps/nabik.svg" ]] || fail "icon"

# --- the unpacked program converts a sample as the build tree's program does ---
sample="$source_dir/tests/data/fgd/jpgis/FG-JPS-13112-05-Z001.zip"
counts() {
  for shp in "$1"/*.shp; do
    echo "$(basename "$shp") $(ogrinfo -ro -so -al "$shp" | grep -o 'Feature Count: [0-9]*')"
  done
}
"$root/usr/bin/nabik" --quiet -o "$work/packed/list.txt" "$sample" || fail "the unpacked program's run"
"$build/nabik" --quiet -o "$work/built/list.txt" "$sample" || fail "the build tree's run"
packed=$(counts "$work/packed")
[[ $(grep -c 'Feature Count: [1-9]' <<<"$packed") -eq 3 ]] || fail "expected 3 layers with features: $packed"
[[ "$packed" == "$(counts "$work/built")" ]] || fail "the package converts differently: $packed"
[[ -s "$work/packed/ms4w/Apache/htdocs/list.map" ]] || fail "no map file"
echo "package: $(basename "$deb") converts $(tr '\n' ';' <<<"$packed")"

# --- an unprivileged user of the root-owned tree ---
sjis() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }
utf8() { iconv -f CP932 -t UTF-8 "$1" | tr -d '\r'; }
sjis $'[MapServer]\r\nMap名=shipped\r\n' >"$program/nabik.Ini"
shipped=$(cat "$program/nabik.Ini")
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
chown 65534:65534 "$home" "$work/run"
user_ini="$home/.config/nabik/nabik.Ini"

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

as_user() {
  setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$home" \
    XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" DISPLAY="$DISPLAY" "$@"
}
# Starts the program's window; sets `pid` and `window`.
start() {
  as_user "$1" >>"$work/window.log" 2>&1 &
  pid=$!
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^NabikF$' | head -1) ||
    { cat "$work/window.log"; fail "no window from $1"; }
}
click() { xdotool mousemove --sync --window "$1" "$2" "$3" click 1; sleep 0.3; }
# Types `$2` into the output path field of window `$1`.
type_path() {
  click "$1" 200 74
  xdotool key ctrl+a BackSpace
  xdotool type --delay 10 "$2"
}
close() {
  click "$window" 357 52  # ④ 閉じる
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" || fail "the program ended with $?: $(cat "$work/window.log")"
}

out="$home/out/list.txt"
start "$root/usr/bin/nabik"
type_path "$window" "$out"
close
[[ -f "$user_ini" ]] || fail "no settings file at $user_ini"
{ cat "$program/nabik.Ini"; sjis "[フォルダー]"$'\r\n'"出力=$out"$'\r\n'; } | cmp -s - "$user_ini" ||
  fail "the closing stored: $(utf8 "$user_ini")"

# The next start shows the path (closing untouched stores it again); the dialog saves there.
start "$root/usr/bin/nabik"
click "$window" 349 516  # MAP設定
dialog=$(timeout 20 xdotool search --sync --onlyvisible --name '^mapserver' | head -1) || fail "no dialog"
click "$dialog" 521 24  # 確 定
close
settings=$(utf8 "$user_ini")
[[ $(grep -cx "出力=$out" <<<"$settings") -eq 1 ]] || fail "the next start lost the path: $settings"
[[ $(sed -n '/^\[MapServer\]/,/^\[/p' <<<"$settings" | grep -c '=') -eq 14 ]] ||
  fail "the dialog did not save its fourteen keys: $settings"
grep -qx 'Map名=shipped' <<<"$settings" || fail "the dialog lost the shipped value"
[[ "$(cat "$program/nabik.Ini")" == "$shipped" ]] || fail "the shipped file changed"

# The batch mode reads the user's file.
sed -i 's/=shipped/=mine/' "$user_ini"
as_user "$root/usr/bin/nabik" --quiet -o "$out" "$sample" || fail "batch run as the user"
[[ $(sed -n 2p "$home/out/ms4w/Apache/htdocs/list.map" | tr -d '\r') == "#mine" ]] ||
  fail "batch mode did not read the user's settings"

# A copy the user owns keeps nabik.Ini beside itself.
cp -a "$program" "$work/portable"
chown -R 65534:65534 "$work/portable"
before=$(cat "$user_ini")
start "$work/portable/nabik"
type_path "$window" "$home/portable.txt"
close
grep -qx "出力=$home/portable.txt" <(utf8 "$work/portable/nabik.Ini") || fail "the copy's own file"
[[ "$(cat "$user_ini")" == "$before" ]] || fail "the copy wrote the user's file"
echo "unprivileged: settings in $user_ini (installed) and beside a writable copy"
