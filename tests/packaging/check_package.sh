#!/usr/bin/env bash
# Builds the Debian package into a temporary folder and checks what it holds: the files an installed program
# needs, dependencies computed and named, a binary that runs from the extracted tree without a display, and
# metadata the desktop's own validators accept. Exit 77 (skipped) where dpkg-deb is missing.
# Usage: check_package.sh BUILD_DIR APP_ID VERSION
set -uo pipefail
build=$1 app_id=$2 version=$3
command -v dpkg-deb >/dev/null || { echo "dpkg-deb missing: skipped"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb="$tmp/out/patrol-lamp_${version}_amd64.deb"
[ -f "$deb" ] || { ls "$tmp/out"; echo "FAIL: no $deb"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
for dep in qt6-qpa-plugins libqt6sql6-sqlite qt6-translations-l10n fonts-wqy-microhei libcurl4 libqt6widgets6; do
    [[ ",$depends" == *[\ ,]$dep[\ ,\(]* || "$depends" == *"$dep" ]] || fail "Depends lacks $dep: $depends"
done

root="$tmp/root"
dpkg-deb -x "$deb" "$root"
share=$root/usr/share
for f in usr/bin/patrol-lamp usr/share/applications/$app_id.desktop usr/share/metainfo/$app_id.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$app_id.svg usr/share/man/man1/patrol-lamp.1.gz \
    usr/share/doc/patrol-lamp/copyright usr/share/doc/patrol-lamp/changelog.gz; do
    [ -s "$root/$f" ] || fail "missing $f"
done
for size in 16 22 24 32 48 64 128 256; do
    png=$share/icons/hicolor/${size}x${size}/apps/$app_id.png
    # The PNG header's width and height, big-endian at bytes 16 and 20.
    dims=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4 "x" $7*256+$8}')
    [ "$dims" = "${size}x${size}" ] || fail "$png is '$dims', not ${size}x${size}"
done

# The extracted binary answers without a display (it finds its libraries on the system).
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/patrol-lamp" --version 2>&1) \
    || fail "--version exit status $?"
[[ "$out" == *"$version"* ]] || fail "--version printed: $out"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/patrol-lamp" --headless --help >/dev/null \
    || fail "--headless --help"

desktop-file-validate "$share/applications/$app_id.desktop" || fail "desktop-file-validate"
grep -qx 'Name=岚澈·巡更灯' "$share/applications/$app_id.desktop" || fail "desktop entry Name"
appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/patrol-lamp.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page: $warnings"

if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1
    cat "$tmp/lintian.log"
    ! grep -q '^E:' "$tmp/lintian.log" || fail "lintian reports errors"
fi

[ "$failures" -eq 0 ] && echo "package ok: $(basename "$deb")"
exit $((failures > 0))
