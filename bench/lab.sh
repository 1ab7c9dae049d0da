#!/usr/bin/env bash
# One pass over a list of names that looks like the internet, inside a network namespace of its own: dnsmasq
# answers the names, nginx serves them (keep-alive, 70 % https with a certificate per zone signed by a local CA),
# and the machine's CA bundle plus the lab's CA is what every tool trusts, visible inside the namespace only.
# Compares patrol-lamp (status condition, then the content condition too) with curl --parallel and with
# prometheus-blackbox-exporter (N concurrent probes) over the same list. Prints a Markdown table: wall, CPU
# (user + system of the tool's processes), peak RSS, DNS lookups per site (dnsmasq's A queries), connections per
# site and full TLS handshakes per https site (nginx's $connection and $ssl_session_reused), false verdicts.
# Needs root; installs dnsmasq-base, nginx and prometheus-blackbox-exporter when missing. Removes all it made.
#
#   bench/lab.sh [BUILD_DIR]                 (default: build) 10,000 names, 200 threads
#   NAMES=100000 THREADS=500 bench/lab.sh    the large list
#   THREADS="200 500" ROUNDS=3 ...           each cell that often, medians (peak memory: the largest)
#   TOOLS="status content" ...               only these rows: status content curl blackbox loop workers
#                                            (loop, workers: bench_transfer_loop's status GETs, one attempt each,
#                                            on LOOPS event-loop threads (default 2) or on one worker per thread)
#   PROGRAM=/other/patrol-lamp ...           another build
#   PERF=1 ...                               perf record of the program's runs, report in the work directory
#   KEEP=1 ...                               keep the work directory (logs, lists) instead of removing it
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
names=${NAMES:-10000}
threads_list=${THREADS:-200}
rounds=${ROUNDS:-1}
tools=${TOOLS:-"status content curl blackbox"}
program=${PROGRAM:-"$build/patrol-lamp"}
zones=20
keyword=patrol-lab-keyword

[ "$(id -u)" = 0 ] || { echo "the lab needs root (network namespace, bind mounts)" >&2; exit 1; }
[ -x "$program" ] || { echo "missing $program (build the target patrol-lamp)" >&2; exit 1; }

need=()
command -v dnsmasq >/dev/null || need+=(dnsmasq-base)
command -v nginx >/dev/null || need+=(nginx)
command -v prometheus-blackbox-exporter >/dev/null || need+=(prometheus-blackbox-exporter)
for tool in curl openssl python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || need+=("$(basename "$tool")")
done
if [ ${#need[@]} -gt 0 ]; then
    # The packages' own services must not start outside the lab.
    made_policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d && made_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >/dev/null
    [ -n "$made_policy" ] && rm -f /usr/sbin/policy-rc.d
fi

ns=patrol-lab-$$
work=$(mktemp -d /tmp/patrol-lab.XXXXXX)
pids=()
nginx_pid=""
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    if [ -n "${KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

ip netns add "$ns"
ip -n "$ns" link set lo up
# 20,000 connections per pass to few addresses: ports must not run out in TIME_WAIT.
ip netns exec "$ns" sysctl -q -w net.ipv4.ip_local_port_range="1024 65000" net.ipv4.tcp_tw_reuse=1 \
    net.core.somaxconn=4096 net.ipv4.tcp_max_syn_backlog=4096

# Inside the namespace: its resolver and the bundle with the lab's CA over the machine's files, for this process
# tree only. Every step execs the next, so $! of a command started in the background is the command itself.
lab=(ip netns exec "$ns" unshare -m --propagation private sh -c '
    mount --bind "$0/resolv.conf" /etc/resolv.conf &&
    mount --bind "$0/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt && exec "$@"' "$work")

echo "nameserver 127.0.0.1" >"$work/resolv.conf"
system_bundle=/etc/ssl/certs/ca-certificates.crt
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj "/CN=patrol lab CA" \
    -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
cat "$system_bundle" "$work/ca.crt" >"$work/ca-bundle.crt"
for ((z = 0; z < zones; ++z)); do
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=*.z$z.lab" \
        -keyout "$work/z$z.key" -out "$work/z$z.csr" 2>/dev/null
    printf 'subjectAltName=DNS:*.z%d.lab\n' "$z" >"$work/z$z.ext"
    openssl x509 -req -in "$work/z$z.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 30 \
        -extfile "$work/z$z.ext" -out "$work/z$z.crt" 2>/dev/null
done

# The list: 3 % names nobody answers, 2 % refused ports, the rest served; 70 % https.
python3 - "$work" "$names" "$zones" <<'EOF'
import sys
work, names, zones = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(f"{work}/sites.txt", "w") as sites, open(f"{work}/hosts", "w") as hosts, \
        open(f"{work}/expected.tsv", "w") as expected:
    for i in range(names):
        zone = i % zones
        scheme = "https" if (i * 7) % 10 < 7 else "http"
        kind = i % 100
        name = f"site{i}.z{zone}.lab"
        address = f"127.{1 + i // 65000}.{(i // 250) % 250}.{1 + i % 250}"
        if kind < 3:
            name = f"gone{i}.z{zone}.lab"
            url, healthy = f"{scheme}://{name}/", 0
        else:
            hosts.write(f"{address} {name}\n")
            port = ":81" if kind < 5 else ""
            url, healthy = f"{scheme}://{name}{port}/", int(kind >= 5)
        sites.write(url + "\n")
        expected.write(f"{url}\t{name}\t{scheme}\t{healthy}\n")
EOF

{
    echo "worker_processes 2; worker_rlimit_nofile 65536; user root; pid $work/nginx.pid;"
    echo "error_log $work/nginx-error.log error; daemon off;"
    echo "events { worker_connections 16384; }"
    echo "http {"
    echo "  log_format lab '\$host \$connection \$ssl_session_reused \$status';"
    echo "  access_log $work/access.log lab; keepalive_timeout 65; keepalive_requests 1000;"
    echo "  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;"
    echo "  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;"
    echo "  ssl_session_cache shared:lab:64m; ssl_session_timeout 1h; default_type text/html;"
    echo "  server { listen 80 default_server reuseport backlog=4096;"
    echo "    location / { return 200 '<html><body>$keyword</body></html>'; } }"
    for ((z = 0; z < zones; ++z)); do
        echo "  server { listen 443 ssl reuseport backlog=4096; server_name *.z$z.lab;"
        echo "    ssl_certificate $work/z$z.crt; ssl_certificate_key $work/z$z.key;"
        echo "    location / { return 200 '<html><body>$keyword</body></html>'; } }"
    done
    echo "}"
} >"$work/nginx.conf"
# reuseport once per address:port.
sed -i '0,/listen 443 ssl reuseport/! s/listen 443 ssl reuseport backlog=4096/listen 443 ssl/' "$work/nginx.conf"
mkdir -p "$work/tmp"

cat >"$work/blackbox.yml" <<EOF
modules:
  status:
    prober: http
    timeout: 10s
    http:
      preferred_ip_protocol: ip4
      valid_status_codes: [200]
      no_follow_redirects: true
  content:
    prober: http
    timeout: 10s
    http:
      preferred_ip_protocol: ip4
      valid_status_codes: [200]
      no_follow_redirects: true
      fail_if_body_not_matches_regexp: ["$keyword"]
EOF

start_servers() {
    : >"$work/dns.log"
    : >"$work/access.log"
    "${lab[@]}" dnsmasq --keep-in-foreground --no-resolv --no-hosts --addn-hosts="$work/hosts" --local=/lab/ \
        --listen-address=127.0.0.1 --bind-interfaces --cache-size=10000 --dns-forward-max=1000 --log-queries \
        --log-facility="$work/dns.log" --user=root &
    pids+=($!)
    "${lab[@]}" nginx -c "$work/nginx.conf" -p "$work" &
    nginx_pid=$!
    pids+=($nginx_pid)
    local i
    for ((i = 0; i < 100; ++i)); do
        "${lab[@]}" bash -c 'exec 3<>/dev/tcp/127.0.0.1/443' 2>/dev/null && break
        sleep 0.1
    done
}

stop_servers() {
    local pid
    # nginx writes its log out on a graceful stop.
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for pid in "${pids[@]}"; do [ "$pid" = "$nginx_pid" ] || kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}

# Wall, CPU and peak RSS of one command's process tree, in $work/time.
timed() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@"
}

# tool threads → $work/verdicts.tsv (url<TAB>1|0) and $work/time
run_tool() {
    local tool=$1 threads=$2
    : >"$work/verdicts.tsv"
    case $tool in
    status | content)
        local args=(--headless --config "$work/empty.ini" --no-history --sites "$work/sites.txt" --passes 1
            --interval 0 --timeout 10 --threads "$threads" --format jsonl)
        [ "$tool" = content ] && args+=(--content "$keyword")
        : >"$work/empty.ini"
        if [ -n "${PERF:-}" ]; then
            timed "${lab[@]}" perf record -q --call-graph dwarf,16384 -F 499 -o "$work/perf-$tool-$threads.data" "$program" "${args[@]}" \
                >"$work/out.jsonl" 2>>"$work/program.log" || true
        else
            timed "${lab[@]}" "$program" "${args[@]}" >"$work/out.jsonl" 2>>"$work/program.log" || true
        fi
        python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["url"] + "\t" + str(int(r["normal"])))' "$work/out.jsonl" >"$work/verdicts.tsv"
        ;;
    curl)
        # curl caps --parallel-max at 300.
        awk '{ printf "url = \"%s\"\noutput = \"/dev/null\"\n", $1 }' "$work/sites.txt" >"$work/curl.cfg"
        timed "${lab[@]}" curl --parallel --parallel-max "$((threads > 300 ? 300 : threads))" -s --no-progress-meter \
            --connect-timeout 10 --max-time 20 -w '%{url}\t%{http_code}\n' -K "$work/curl.cfg" >"$work/curl.out" || true
        awk -F'\t' '{ print $1 "\t" ($2 == "200") }' "$work/curl.out" >"$work/verdicts.tsv"
        ;;
    loop | workers)
        local mode=(--loops "${LOOPS:-2}" --concurrency "$threads")
        [ "$tool" = workers ] && mode=(--workers "$threads")
        timed "${lab[@]}" "$build/bench/bench_transfer_loop" --list "$work/sites.txt" "${mode[@]}" \
            >"$work/loop.out" 2>>"$work/program.log" || true
        awk -F'\t' '{ print $1 "\t" ($2 == "200") }' "$work/loop.out" >"$work/verdicts.tsv"
        ;;
    blackbox)
        "${lab[@]}" prometheus-blackbox-exporter --config.file="$work/blackbox.yml" \
            --web.listen-address=127.0.0.1:9115 --log.level=error &
        local bb=$!
        pids+=($bb)
        local i
        for ((i = 0; i < 100; ++i)); do
            "${lab[@]}" curl -s -o /dev/null http://127.0.0.1:9115/ && break
            sleep 0.1
        done
        mkdir -p "$work/bb"
        python3 -c '
import sys, urllib.parse
work = sys.argv[1]
for n, line in enumerate(open(f"{work}/sites.txt")):
    url = line.strip()
    q = urllib.parse.urlencode({"target": url, "module": "status"})
    print(f"url = \"http://127.0.0.1:9115/probe?{q}\"\noutput = \"{work}/bb/{n}\"")' "$work" >"$work/bb.cfg"
        local before after start end
        before=$(awk '{ print $14 + $15 }' "/proc/$bb/stat")
        start=$(date +%s.%N)
        "${lab[@]}" curl --parallel --parallel-max "$((threads > 300 ? 300 : threads))" -s --no-progress-meter \
            -K "$work/bb.cfg" 2>/dev/null || true
        end=$(date +%s.%N)
        after=$(awk '{ print $14 + $15 }' "/proc/$bb/stat")
        local hz rss
        hz=$(getconf CLK_TCK)
        rss=$(awk '/VmHWM/ { print $2 }' "/proc/$bb/status")
        awk -v s="$start" -v e="$end" -v b="$before" -v a="$after" -v hz="$hz" -v rss="$rss" \
            'BEGIN { printf "%.2f %.2f 0 %d\n", e - s, (a - b) / hz, rss }' >"$work/time"
        kill "$bb" 2>/dev/null || true
        wait "$bb" 2>/dev/null || true
        python3 -c '
import sys, os
work = sys.argv[1]
for n, line in enumerate(open(f"{work}/sites.txt")):
    path = f"{work}/bb/{n}"
    ok = os.path.exists(path) and "probe_success 1" in open(path).read()
    print(f"{line.strip()}\t{int(ok)}")' "$work" >"$work/verdicts.tsv"
        rm -rf "$work/bb"
        ;;
    esac
}

# One row's figures from the logs: lookups/site, connections/site, full handshakes/https site, false verdicts.
analyse() {
    python3 - "$work" <<'EOF'
import collections, re, sys
work = sys.argv[1]
expected = {}
for line in open(f"{work}/expected.tsv"):
    url, name, scheme, healthy = line.rstrip("\n").split("\t")
    expected[url] = (name, scheme, healthy == "1")
verdicts = {}
for line in open(f"{work}/verdicts.tsv"):
    parts = line.rstrip("\n").split("\t")
    if len(parts) == 2:
        verdicts[parts[0]] = parts[1] == "1"
false_abnormal = sum(1 for u, (n, s, h) in expected.items() if h and not verdicts.get(u, False))
false_normal = sum(1 for u, (n, s, h) in expected.items() if not h and verdicts.get(u, False))
lookups = collections.Counter()
for line in open(f"{work}/dns.log"):
    m = re.search(r"query\[A\] (\S+) from", line)
    if m:
        lookups[m.group(1)] += 1
served = [(n, s) for u, (n, s, h) in expected.items() if h]
connections = collections.defaultdict(set)
full = collections.defaultdict(set)
for line in open(f"{work}/access.log"):
    parts = line.split()
    if len(parts) >= 3:
        connections[parts[0]].add(parts[1])
        if parts[2] == ".":
            full[parts[0]].add(parts[1])
https = [n for n, s in served if s == "https"]
print(f"{sum(lookups[n] for n, s in served) / len(served):.2f} "
      f"{sum(len(connections[n]) for n, s in served) / len(served):.2f} "
      f"{sum(len(full[n]) for n in https) / max(len(https), 1):.2f} {false_abnormal} {false_normal}")
EOF
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "lab: $names names, $(grep -c https: "$work/sites.txt") https, bundle of $(grep -c BEGIN "$work/ca-bundle.crt") CAs;" \
    "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| tool | threads | wall s | CPU s | peak MB | DNS lookups / site | connections / site | full handshakes / https site | false abnormal | false normal |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for threads in $threads_list; do
    for tool in $tools; do
        : >"$work/rows"
        for ((r = 0; r < rounds; ++r)); do
            start_servers
            run_tool "$tool" "$threads"
            stop_servers
            # time puts a line about a failed exit status first.
            read -r wall user sys rss < <(tail -1 "$work/time")
            echo "$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $rss $(analyse)" >>"$work/rows"
        done
        wall=$(awk '{ print $1 }' "$work/rows" | median)
        cpu=$(awk '{ print $2 }' "$work/rows" | median)
        rss=$(awk '{ print $3 }' "$work/rows" | sort -g | tail -1)
        read -r _ _ _ dns conns full fa fn < <(sort -g -k1 "$work/rows" | awk -v w="$wall" '$1 == w' | head -1)
        case $tool in
        status) label="patrol-lamp, status condition" ;;
        content) label="patrol-lamp, content condition on" ;;
        curl) label="curl --parallel" ;;
        blackbox) label="blackbox_exporter, concurrent probes" ;;
        loop) label="status GETs on ${LOOPS:-2} event-loop threads" ;;
        workers) label="status GETs, one worker thread each" ;;
        esac
        printf '| %s | %s | %.1f | %.1f | %d | %s | %s | %s | %s | %s |\n' "$label" "$threads" "$wall" "$cpu" \
            "$((rss / 1024))" "$dns" "$conns" "$full" "$fa" "$fn"
    done
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${PERF:-}" ]; then
    for data in "$work"/perf-*.data; do
        perf report -q -i "$data" --no-children --sort dso,symbol --percent-limit 2 --stdio 2>/dev/null \
            | grep -v '^$' | head -25 >"${data%.data}.txt" || true
        echo "profile: ${data%.data}.txt"
    done
fi
