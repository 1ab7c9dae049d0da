#!/usr/bin/env bash
# Builds the exporter's image with podman from the package in BUILD_DIR (make package) and checks it once: it
# runs as a non-root user, keeps its history on a volume, answers /-/ready and /metrics, and a stop exits 0.
# Without a registry the base is a Debian 12 tree imported as localhost/debian:12: from BASE_TAR when given,
# else from tools/fresh-machine.sh's cached tarball.
# Usage: tools/container-check.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
base=localhost/debian:12
base_tar=${BASE_TAR:-/var/cache/patrol-lamp-fresh/bookworm-base.tar}
port=${PORT:-19464}
command -v podman >/dev/null || { echo "podman is not installed (apt-get install podman)" >&2; exit 77; }

# crun refuses cgroups in hybrid mode (v1 controllers beside a v2 mount), runc takes them; a container without
# CAP_SYS_RESOURCE can't raise rlimits to podman's defaults.
limits=(--ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
runtime=()
if [ -d /sys/fs/cgroup/unified ] && command -v runc >/dev/null; then
    runtime=(--runtime runc)
fi

if ! podman image exists "$base"; then
    [ -f "$base_tar" ] || { echo "no $base and no $base_tar: run tools/fresh-machine.sh once" >&2; exit 1; }
    podman import --change 'CMD ["/bin/bash"]' "$base_tar" "$base" >/dev/null
fi
"$here/deploy/container/build-image.sh" "$build" patrol-lamp "${runtime[@]}" "${limits[@]}" --network host \
    --build-arg "BASE=$base" >"$build/container-build.log" 2>&1 \
    || { tail -20 "$build/container-build.log" >&2; exit 1; }
version=$(sed -n 's/^project(patrol_lamp VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")

work=$(mktemp -d)
name=patrol-lamp-check-$$
cleanup() {
    podman rm -f "$name" >/dev/null 2>&1 || true
    podman volume rm -f "$name" >/dev/null 2>&1 || true
    [ -n "${site_pid:-}" ] && kill "$site_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work" >"$work/site.log" 2>&1 &
site_pid=$!
for _ in $(seq 50); do
    site_port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/site.log" | head -1)
    [ -n "$site_port" ] && break
    sleep 0.1
done
printf 'http://127.0.0.1:%s/\n' "$site_port" >"$work/sites.txt"
chmod 644 "$work/sites.txt"
podman volume create "$name" >/dev/null
podman "${runtime[@]}" run -d --name "$name" --network host "${limits[@]}" \
    -v "$work/sites.txt:/etc/patrol-lamp/sites.txt:ro" -v "$name:/var/lib/patrol-lamp" \
    "patrol-lamp:$version" --sites /etc/patrol-lamp/sites.txt --listen "127.0.0.1:$port" --interval 2 >/dev/null
ready=""
for _ in $(seq 100); do
    ready=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/-/ready" || true)
    [ "$ready" = 200 ] && break
    sleep 0.2
done
[ "$ready" = 200 ] || { podman logs "$name" >&2; echo "/-/ready: $ready" >&2; exit 1; }
sleep 1
curl -sf "http://127.0.0.1:$port/metrics" | grep -E '^patrol_site_up|^patrol_build_info'
echo "user in the container: $(podman exec "$name" id -u):$(podman exec "$name" id -g)"
podman exec "$name" test -s /var/lib/patrol-lamp/history.sqlite || { echo "no history on the volume" >&2; exit 1; }
podman stop -t 60 "$name" >/dev/null
status=$(podman inspect "$name" --format '{{.State.ExitCode}}')
echo "image patrol-lamp:$version: ready, scraped, history on the volume, stop exited $status"
[ "$status" = 0 ]
