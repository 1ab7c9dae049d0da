#!/usr/bin/env bash
# One monitoring pass of `patrol-lamp --headless` over 10,000 and 50,000 loopback URLs at several thread
# counts, next to `curl --parallel` over the same list, without and with a server delay.
# Prints a Markdown table of wall time, peak memory and the ratios against curl and the ideal time.
#
#   bench/run_headless_bench.sh [BUILD_DIR]            (default: build)
#   SIZES="10000 50000" THREADS="50 200 500" DELAYS="0 50" bench/run_headless_bench.sh build
#   FARMS="farm nginx" ...   the closing farm, and nginx on 100 loopback ports keeping connections open (no delay)
#   ROUNDS=5 ...             each cell runs both programs in turn that often and reports the medians
#   PROGRAM_ARGS=--no-history ...   more options for every patrol-lamp pass
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
sizes=${SIZES:-"10000 50000"}
threads_list=${THREADS:-"50 200 500"}
delays=${DELAYS:-"0 50"}
farms=${FARMS:-farm}
rounds=${ROUNDS:-1}
read -r -a program_args <<<"${PROGRAM_ARGS:-}"
program=${PROGRAM:-"$build/patrol-lamp"}   # PROGRAM=... compares another build
farm_bin="$build/bench/bench_site_farm"
for f in "$program" "$farm_bin" /usr/bin/time; do
    [ -x "$f" ] || { echo "missing $f (build the targets patrol-lamp and bench_site_farm)" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "curl is needed for the comparison" >&2; exit 1; }

work=$(mktemp -d)
farm_pid=""
nginx_pid=""
cleanup() {
    [ -n "$farm_pid" ] && kill "$farm_pid" 2>/dev/null && wait "$farm_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null
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

stop_server() {   # pid
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# nginx with its defaults (keep-alive on) on 100 loopback ports from a random base, and the same lists and curl
# configs as the farm writes. Runs as the caller, everything under $work.
start_nginx() {
    command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || { echo "nginx is needed (nginx-light)" >&2; exit 1; }
    local base attempt size
    for attempt in 1 2 3 4 5; do
        base=$((20000 + RANDOM % 30000))
        mkdir -p "$work/nginx"
        {
            echo "daemon off; worker_processes 2; pid $work/nginx/pid; error_log $work/nginx/error.log;"
            echo "events { worker_connections 8192; }"
            echo "http { access_log off; client_body_temp_path $work/nginx; proxy_temp_path $work/nginx;"
            echo " fastcgi_temp_path $work/nginx; uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;"
            echo " server {"
            for p in $(seq "$base" $((base + 99))); do echo "  listen 127.0.0.1:$p;"; done
            echo "  default_type text/html;"
            echo "  location / { return 200 '<html><head><title>farm</title></head><body>site farm page</body></html>\n'; }"
            echo " } }"
        } >"$work/nginx/nginx.conf"
        /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>>"$work/nginx/start.log" &
        nginx_pid=$!
        sleep 0.5
        if kill -0 "$nginx_pid" 2>/dev/null && curl -s -o /dev/null "http://127.0.0.1:$base/"; then
            for size in $sizes; do
                awk -v n="$size" -v b="$base" 'BEGIN { for (i = 0; i < n; i++) printf "http://127.0.0.1:%d/site/%d\n", b + (i * 37) % 100, i }' >"$work/list$size.txt"
                awk '{ printf "url = \"%s\"\noutput = \"/dev/null\"\n", $0 }' "$work/list$size.txt" >"$work/curl$size.cfg"
            done
            return 0
        fi
        nginx_pid=""
    done
    echo "nginx did not start:" >&2
    cat "$work/nginx/start.log" >&2
    exit 1
}


now() { date +%s.%N; }

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

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
printf '| farm | delay | URLs | threads | patrol-lamp s | CPU s | peak MB | curl s | CPU s | ratio to curl | CPU ratio | slot use | ideal s | ratio to ideal | floor s | ratio to floor |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n'
for farm in $farms; do
for delay in $delays; do
    if [ "$farm" = nginx ]; then
        [ "$delay" -eq 0 ] || continue
        start_nginx
    else
        start_farm "$delay"
    fi
    for size in $sizes; do
        for threads in $threads_list; do
            p_walls="" p_cpus="" p_rss=0 c_walls="" c_cpus=""
            for _ in $(seq "$rounds"); do
                measure "$program" --headless --config "$work/empty.ini" --sites "$work/list$size.txt" --passes 1 \
                    --interval 0 --timeout 10 --threads "$threads" --format jsonl "${program_args[@]}"
                p_walls+=" $wall" p_cpus+=" $cpu"
                p_rss=$(echo "if ($rss > $p_rss) $rss else $p_rss" | bc -l)
                mv "$work/out" "$work/program.out"
                lines=$(wc -l <"$work/program.out")
                abnormal=$(grep -c '"normal":false' "$work/program.out" || true)
                if [ "$lines" -ne "$size" ] || [ "$abnormal" -ne 0 ]; then
                    echo "patrol-lamp: $lines lines, $abnormal abnormal for $size URLs at $threads threads:" >&2
                    tail -3 "$work/err" >&2
                fi
                # curl caps --parallel-max at 300.
                parallel=$((threads > 300 ? 300 : threads))
                measure curl -s --parallel --parallel-max "$parallel" -H 'Connection: close' -K "$work/curl$size.cfg"
                c_walls+=" $wall" c_cpus+=" $cpu"
            done
            p_wall=$(echo "$p_walls" | median) p_cpu=$(echo "$p_cpus" | median)
            c_wall=$(echo "$c_walls" | median) c_cpu=$(echo "$c_cpus" | median)
            # Share of the thread slots' time spent inside checks (last round): near 1 means no slot idled.
            busy=$(grep -o '"elapsed_ms":[0-9]*' "$work/program.out" | awk -F: -v t="$threads" -v w="$p_wall" \
                '{ s += $2 } END { printf "%.2f", s / 1000 / t / w }')
            ideal=$(echo "$size * $delay / 1000 / $threads" | bc -l)
            if [ "$delay" -gt 0 ]; then
                floor=$ideal
                base=${undelayed[$farm/$size/$threads]:-0}
                if [ "$(echo "$base > $floor" | bc -l)" -eq 1 ]; then floor=$base; fi
                ideal_cols=$(printf '%.2f | %.2f | %.2f | %.2f' "$ideal" "$(echo "$p_wall / $ideal" | bc -l)" \
                    "$floor" "$(echo "$p_wall / $floor" | bc -l)")
            else
                undelayed[$farm/$size/$threads]=$p_wall
                ideal_cols="- | - | - | -"
            fi
            printf '| %s | %s ms | %s | %s | %.2f | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f | %s | %s |\n' "$farm" "$delay" \
                "$size" "$threads" "$p_wall" "$p_cpu" "$p_rss" "$c_wall" "$c_cpu" "$(echo "$p_wall / $c_wall" | bc -l)" \
                "$(echo "$p_cpu / $c_cpu" | bc -l)" "$busy" "$ideal_cols"
        done
    done
    if [ "$farm" = nginx ]; then stop_server "$nginx_pid"; nginx_pid=""; else stop_server "$farm_pid"; farm_pid=""; fi
done
done
