#!/usr/bin/env bash
# One headless pass over loopback URLs with the history on and off, in turn, so both see the same load. The
# "on" runs after the first share one file, as the passes of a long run do.
# Prints a Markdown table of wall and CPU time per run and the medians' ratio.
#
#   bench/run_history_bench.sh [BUILD_DIR]                        (default: build)
#   SIZE=50000 THREADS=500 ROUNDS=3 bench/run_history_bench.sh build
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
size=${SIZE:-50000}
threads=${THREADS:-500}
rounds=${ROUNDS:-3}
program="$build/patrol-lamp"
farm_bin="$build/bench/bench_site_farm"
for f in "$program" "$farm_bin" /usr/bin/time; do
    [ -x "$f" ] || { echo "missing $f (build the targets patrol-lamp and bench_site_farm)" >&2; exit 1; }
done

work=$(mktemp -d)
farm_pid=""
cleanup() {
    [ -n "$farm_pid" ] && kill "$farm_pid" 2>/dev/null && wait "$farm_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
: >"$work/empty.ini"

"$farm_bin" --ports 100 --threads 2 --list "$size:$work/list.txt" >"$work/farm.out" 2>&1 &
farm_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/farm.out" 2>/dev/null && break
    sleep 0.1
done

run() {   # label, history options...
    local label=$1 start end wall user sys
    shift
    start=$(date +%s.%N)
    /usr/bin/time -f '%U %S' -o "$work/time" "$program" --headless --config "$work/empty.ini" --sites "$work/list.txt" \
        --passes 1 --interval 0 --timeout 10 --threads "$threads" --format jsonl "$@" >"$work/out" 2>"$work/err" || true
    end=$(date +%s.%N)
    wall=$(echo "$end - $start" | bc -l)
    read -r user sys < <(tail -1 "$work/time")
    printf '| %s | %s | %.2f | %.2f | %s |\n' "$label" "$(wc -l <"$work/out")" "$wall" "$(echo "$user + $sys" | bc -l)" \
        "$( [ "$label" != off ] && du -k "$work/h.sqlite" | cut -f1 || echo -)"
    echo "$label $wall" >>"$work/walls"
}

printf '| history | lines | wall s | CPU s | file KB |\n|---|---|---|---|---|\n'
# The first pass on an empty file also adds every site to it; later passes only add to the sums.
run "on, empty file" --history "$work/h.sqlite"
for _ in $(seq "$rounds"); do
    run off --no-history
    run on --history "$work/h.sqlite"
done
median() { grep "^$1 " "$work/walls" | cut -d' ' -f2 | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
off=$(median off)
on=$(median on)
printf '\nmedian wall: off %.2f s, on %.2f s, on/off %.3f\n' "$off" "$on" "$(echo "$on / $off" | bc -l)"
