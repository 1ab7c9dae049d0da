#!/usr/bin/env bash
# Starts the window where there is a display, otherwise the headless command on the stored or sample list.
set -euo pipefail
build=${1:-build}
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/patrol-lamp"
fi
echo "No display: running the headless monitor (Ctrl+C stops it)." >&2
exec "$build/patrol-lamp" --headless
