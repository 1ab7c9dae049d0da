#!/usr/bin/env bash
# Builds the exporter's image from the package in BUILD_DIR (make package), tagged patrol-lamp:<version> as
# deploy/kubernetes/patrol-lamp.yaml expects. Uses podman, else buildah, else docker.
# Usage: build-image.sh [BUILD_DIR] [IMAGE_NAME] [more options for the tool's build, e.g. --build-arg BASE=...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
name=${2:-patrol-lamp}
version=$(sed -n 's/^project(patrol_lamp VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
[ -f "$build/patrol-lamp-headless_${version}_amd64.deb" ] || { echo "no package in $build: run make package" >&2; exit 1; }
for tool in podman buildah docker; do
    if command -v "$tool" >/dev/null; then
        cmd=(build); [ "$tool" = buildah ] && cmd=(bud)
        exec "$tool" "${cmd[@]}" -f "$here/Containerfile" --build-arg "VERSION=$version" -t "$name:$version" \
            "${@:3}" "$build"
    fi
done
echo "no container tool (podman, buildah or docker) found" >&2
exit 1
