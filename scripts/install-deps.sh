#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Nabik need, and only those
# that are missing. Run as root on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libshp-dev libzip-dev liblhasa-dev liblhasa0 libfontconfig-dev qt6-base-dev
  libgtest-dev googletest
  gdal-bin mapserver-bin fonts-ipafont-gothic zip jlha-utils
  clang libclang-rt-14-dev
  time
  dpkg-dev      # cpack's package dependencies (dpkg-shlibdeps)
  xvfb xdotool  # the installed program's windows driven as another user (tests/package_check.sh)
  # the MapServer 8 export and its test: mapserv CGI, PHP MapScript 8, web server, browser,
  # the test's Python and image decoding
  cgi-mapserver php-cli php-mapscript-ng lighttpd chromium python3 imagemagick fontconfig
  qt6-translations-l10n  # qtbase_ja: Qt's own dialogs and buttons in Japanese
  libisal-dev  # ISA-L: inflates deflated zip entries, block by block
  locales      # the window tests run in a locale that writes decimal commas
  libproj-dev  # PROJ: the target CRS of --crs and the transformation of vertices into it
  proj-bin     # projinfo: the CRS tests ask it which transformation grids are missing
  libgdal-dev python3-gdal  # elevation mosaics (GeoTIFF, COG, VRT) and the test's COG validator
  python3-lxml  # bench/: the elevation reading users do today, for comparison
  # GDAL's vector formats as output (--format), read back in the tests by GDAL's Python
  # bindings and its GeoPackage validator, and a PostgreSQL with PostGIS started by a test
  postgresql-15 postgresql-15-postgis-3 util-linux
)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The window tests' locale.
if ! locale -a 2>/dev/null | grep -qx 'de_DE.utf8'; then
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null
fi
