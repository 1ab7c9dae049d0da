#!/usr/bin/env bash
# Builds and runs the soak benchmark, keeping its output in soak-<date>.log beside the build.
#   bench/run_soak.sh [BUILD_DIR] [bench_soak options...]     (default build dir: build)
# e.g. bench/run_soak.sh build --passes 500 --interval 0.1 --minutes 10
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
shift || true
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_soak bench_site_farm -j "${JOBS:-$(nproc)}"
log="$build/soak-$(date +%Y%m%d-%H%M%S).log"
"$build/bench/bench_soak" "$@" 2>&1 | tee "$log"
exit "${PIPESTATUS[0]}"
