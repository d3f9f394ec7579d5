#!/usr/bin/env bash
# Installs the built program as a user would and takes it away again:
# cmake --install into a staging folder, whose menu entry and AppStream data
# the desktop's validators check; then the Debian package, installed with
# apt-get, run from /usr/bin, and removed, leaving none of its files.
# Needs root for the package; refuses to touch a pelimar that is not ours.
set -euo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
id=se.quorvane.Pelimar
version=$(sed -n 's/^project(Pelimar VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
stage=$(mktemp -d)
installed=
# Whatever fails, the package goes again once it was installed.
cleanup() {
  rm -rf "$stage"
  if [ -n "$installed" ]; then apt-get remove -y -qq --purge pelimar >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

fail() { echo "install_test: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null
prefix=$stage$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
for file in bin/pelimar share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
    share/icons/hicolor/scalable/apps/$id.svg share/man/man1/pelimar.1.gz; do
  [ -f "$prefix/$file" ] || fail "cmake --install left out $file"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ "$(identify -format '%wx%h' "$png")" = "${size}x${size}" ] || fail "$png is not ${size}x${size}"
done
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "the menu entry is not valid"
echo "desktop-file-validate: no complaints"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "the AppStream data is not valid"
zgrep -q '^\.TH PELIMAR 1 ' "$prefix/share/man/man1/pelimar.1.gz" || fail "the man page has no PELIMAR(1) title"
[ "$("$prefix/bin/pelimar" --version)" = "Pelimar $version" ] || fail "the installed program has another version"

if [ "$(id -u)" -ne 0 ]; then
  echo "install_test: the Debian package is not installed: that needs root"
  exit 0
fi
rm -f "$build"/pelimar_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/pelimar_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $deb"
echo "install_test: $(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends Recommends
if [ -e /usr/bin/pelimar ] && [[ "$(dpkg-query -S /usr/bin/pelimar 2>/dev/null || true)" != pelimar:* ]]; then
  fail "/usr/bin/pelimar exists and is not of the package: left alone"
fi
export DEBIAN_FRONTEND=noninteractive
installed=yes
apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
files=$(dpkg-query -L pelimar)
[ "$(/usr/bin/pelimar --version)" = "Pelimar $version" ] || fail "/usr/bin/pelimar has another version"
apt-get remove -y -qq --purge pelimar >/dev/null
installed=
while IFS= read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then fail "$path is left after the package was removed"; fi
done <<<"$files"
if [[ "$(dpkg-query -W -f='${Status}' pelimar 2>/dev/null || true)" == *" installed" ]]; then
  fail "the package is still installed"
fi
echo "install_test: installed, ran and removed cleanly"
