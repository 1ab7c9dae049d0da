#!/usr/bin/env bash
# Builds the Debian packages into a temporary folder and checks what they hold: the files an installed program
# needs, dependencies computed and named, a headless package free of display libraries with its service and
# examples, binaries that run from the extracted tree without a display, metadata the desktop's own validators
# accept, and documents that name every option. Exit 77 (skipped) where dpkg-deb is missing.
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
server_deb="$tmp/out/patrol-lamp-headless_${version}_amd64.deb"
for f in "$deb" "$server_deb"; do
    [ -f "$f" ] || { ls "$tmp/out"; echo "FAIL: no $f"; exit 1; }
done
has_dep() { [[ ",$1" == *[\ ,]$2[\ ,\(]* || "$1" == *"$2" ]]; }

depends=$(dpkg-deb -f "$deb" Depends)
for dep in patrol-lamp-headless qt6-qpa-plugins libqt6sql6-sqlite qt6-translations-l10n fonts-wqy-microhei libcurl4 \
    libqt6widgets6; do
    has_dep "$depends" "$dep" || fail "Depends lacks $dep: $depends"
done
[[ "$depends" == *"patrol-lamp-headless (= $version)"* ]] || fail "window package not tied to its version: $depends"
server_depends=$(dpkg-deb -f "$server_deb" Depends)
for dep in libqt6sql6-sqlite libcurl4 libyaml-cpp0.7; do
    has_dep "$server_depends" "$dep" || fail "headless Depends lacks $dep: $server_depends"
done
for dep in libqt6gui6 libqt6widgets6 qt6-qpa-plugins libx11-6 libxcb1 libgl1 fonts-wqy-microhei; do
    ! has_dep "$server_depends" "$dep" || fail "headless package pulls $dep: $server_depends"
done

root="$tmp/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$server_deb" "$root"
share=$root/usr/share
server_doc=usr/share/doc/patrol-lamp-headless
for f in usr/bin/patrol-lamp-headless usr/lib/systemd/system/patrol-lamp-exporter.service \
    usr/share/man/man1/patrol-lamp-headless.1.gz $server_doc/copyright $server_doc/changelog.gz \
    $server_doc/examples/default/patrol-lamp $server_doc/examples/prometheus/patrol-rules.yml \
    $server_doc/examples/alertmanager/alertmanager.yml; do
    [ -s "$root/$f" ] || fail "missing $f"
done
# Not even indirectly: a library the binary loads must not bring a display stack onto a server.
display_libs=$(ldd "$root/usr/bin/patrol-lamp-headless" | grep -E 'libQt6(Gui|Widgets)|libX11|libxcb|libGL|libEGL')
[ -z "$display_libs" ] || fail "patrol-lamp-headless loads display libraries: $display_libs"
unit=$root/usr/lib/systemd/system/patrol-lamp-exporter.service
grep -q '^ExecStart=/usr/bin/patrol-lamp-headless ' "$unit" || fail "the unit does not start the headless command"
if command -v systemd-analyze >/dev/null; then
    sed "s#/usr/bin/patrol-lamp-headless#$root/usr/bin/patrol-lamp-headless#" "$unit" >"$tmp/patrol-lamp-exporter.service"
    systemd-analyze verify "$tmp/patrol-lamp-exporter.service" || fail "systemd-analyze verify"
fi
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
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/patrol-lamp" --headless --help) \
    || fail "--headless --help"
server_help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/patrol-lamp-headless" --help) \
    || fail "patrol-lamp-headless --help"
[ "$help" = "$server_help" ] || fail "the two commands' help differ"
# Every option the help lists is in the manual page and the README.
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
manual=$(zcat "$share/man/man1/patrol-lamp.1.gz" | sed 's/\\-/-/g')
for option in $(grep -oE '^ +--[a-z-]+' <<<"$help"); do
    [[ "$manual" == *"$option"* ]] || fail "the manual page lacks $option"
    grep -qF -- "\`$option" "$source_dir/README.md" || fail "README.md lacks $option"
done
# The manifest runs the image the container recipe builds, tagged with this version.
grep -qE "image: .*/patrol-lamp:$version\$" "$source_dir/deploy/kubernetes/patrol-lamp.yaml" \
    || fail "deploy/kubernetes/patrol-lamp.yaml does not use the image patrol-lamp:$version"
grep -q 'patrol-lamp-headless_${VERSION}_amd64.deb' "$source_dir/deploy/container/Containerfile" \
    || fail "the Containerfile does not install the headless package"

desktop-file-validate "$share/applications/$app_id.desktop" || fail "desktop-file-validate"
grep -qx 'Name=岚澈·巡更灯' "$share/applications/$app_id.desktop" || fail "desktop entry Name"
appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/patrol-lamp.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page: $warnings"

if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" "$server_deb" >"$tmp/lintian.log" 2>&1
    cat "$tmp/lintian.log"
    ! grep -q '^E:' "$tmp/lintian.log" || fail "lintian reports errors"
fi

[ "$failures" -eq 0 ] && echo "packages ok: $(basename "$deb") $(basename "$server_deb")"
exit $((failures > 0))
