#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need; does nothing when all are present.
set -euo pipefail
packages=(
    g++ cmake ninja-build make pkg-config ccache clang-format
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-5compat-dev libgl-dev
    libqt6sql6-sqlite libsqlite3-dev qt6-charts-dev libqt6opengl6-dev sqlite3
    libcurl4-openssl-dev libssl-dev ca-certificates openssl
    libicu-dev libyaml-cpp-dev libcrypt-dev
    zlib1g-dev python3 chromium
    fonts-wqy-microhei
    dpkg-dev desktop-file-utils appstream lintian man-db
    qt6-translations-l10n
    xvfb trayer
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
