#!/usr/bin/env bash
# One monitoring pass of `patrol-lamp --headless` over 10,000 and 50,000 loopback URLs at several thread
# counts, next to `curl --parallel` over the same list, without and with a server delay.
# Prints a Markdown table of wall time, peak memory and the ratios against curl and the ideal time.
#
#   bench/run_headless_bench.sh [BUILD_DIR]            (default: build)
#   SIZES="10000 50000" THREADS="50 200 500" DELAYS="0 50" bench/run_headless_bench.sh build
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
sizes=${SIZES:-"10000 50000"}
threads_list=${THREADS:-"50 200 500"}
delays=${DELAYS:-"0 50"}
program="$build/patrol-lamp"
farm_bin="$build/bench/bench_site_farm"
for f in "$program" "$farm_bin" /usr/bin/time; do
    [ -x "$f" ] || { echo "missing $f (build the targets patrol-lamp and bench_site_farm)" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "curl is needed for the comparison" >&2; exit 1; }

work=$(mktemp -d)
farm_pid=""
cleanup() {
    [ -n "$farm_pid" ] && kill "$farm_pid" 2>/dev/null && wait "$farm_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
: >"$work/empty.ini"   # no stored settings: only the options below count

start_farm() {   # delay_ms
    local lists=() size
    for size in $sizes; do
        lists+=(--list "$size:$work/list$size.txt" --curl-config "$size:$work/curl$size.cfg")
    done
    "$farm_bin" --ports 100 --threads 2 --delay-ms "$1" "${lists[@]}" >"$work/farm.out" 2>&1 &
    farm_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$work/farm.out" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the site farm did not start" >&2
    exit 1
}

stop_farm() {
    kill "$farm_pid" 2>/dev/null || true
    wait "$farm_pid" 2>/dev/null || true
    farm_pid=""
}

now() { date +%s.%N; }

# Sets wall and cpu (user + system seconds) and rss (MB) for one command; its stdout goes to $work/out.
measure() {
    local start end
    start=$(now)
    /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
    end=$(now)
    wall=$(echo "$end - $start" | bc -l)
    read -r kb user sys < <(tail -1 "$work/time")
    rss=$(echo "$kb / 1024" | bc -l)
    cpu=$(echo "$user + $sys" | bc -l)
}

# With a delay, "floor" is the larger of the ideal and the same pass without delay: the most this machine
# can do when the checks' own CPU time, not the waiting, bounds the pass.
declare -A undelayed
printf '| delay | URLs | threads | patrol-lamp s | CPU s | peak MB | curl s | CPU s | ratio to curl | slot use | ideal s | ratio to ideal | floor s | ratio to floor |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n'
for delay in $delays; do
    start_farm "$delay"
    for size in $sizes; do
        for threads in $threads_list; do
            measure "$program" --headless --config "$work/empty.ini" --sites "$work/list$size.txt" --passes 1 \
                --interval 0 --timeout 10 --threads "$threads" --format jsonl
            p_wall=$wall p_rss=$rss p_cpu=$cpu
            lines=$(wc -l <"$work/out")
            abnormal=$(grep -c '"normal":false' "$work/out" || true)
            # Share of the thread slots' time spent inside checks: near 1 means the run never let a slot idle.
            busy=$(grep -o '"elapsed_ms":[0-9]*' "$work/out" | awk -F: -v t="$threads" -v w="$p_wall" \
                '{ s += $2 } END { printf "%.2f", s / 1000 / t / w }')
            if [ "$lines" -ne "$size" ] || [ "$abnormal" -ne 0 ]; then
                echo "patrol-lamp: $lines lines, $abnormal abnormal for $size URLs at $threads threads:" >&2
                tail -3 "$work/err" >&2
            fi
            # curl caps --parallel-max at 300.
            parallel=$((threads > 300 ? 300 : threads))
            measure curl -s --parallel --parallel-max "$parallel" -H 'Connection: close' -K "$work/curl$size.cfg"
            c_wall=$wall c_cpu=$cpu
            ideal=$(echo "$size * $delay / 1000 / $threads" | bc -l)
            if [ "$delay" -gt 0 ]; then
                floor=$ideal
                base=${undelayed[$size/$threads]:-0}
                if [ "$(echo "$base > $floor" | bc -l)" -eq 1 ]; then floor=$base; fi
                ideal_cols=$(printf '%.2f | %.2f | %.2f | %.2f' "$ideal" "$(echo "$p_wall / $ideal" | bc -l)" \
                    "$floor" "$(echo "$p_wall / $floor" | bc -l)")
            else
                undelayed[$size/$threads]=$p_wall
                ideal_cols="- | - | - | -"
            fi
            printf '| %s ms | %s | %s | %.2f | %.2f | %.0f | %.2f | %.2f | %.2f | %s | %s |\n' "$delay" "$size" \
                "$threads" "$p_wall" "$p_cpu" "$p_rss" "$c_wall" "$c_cpu" "$(echo "$p_wall / $c_wall" | bc -l)" "$busy" \
                "$ideal_cols"
        done
    done
    stop_farm
done
