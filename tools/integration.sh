#!/usr/bin/env bash
# The exporter against the real stack: two shards of `patrol-lamp --headless --listen` over a loopback site
# farm with abnormal sites, a real Prometheus scraping both every second with a copy of deploy/'s rules (the
# "for" shortened), and a real Alertmanager posting to a webhook receiver run here. Passes when Prometheus
# sees every site exactly once with the right patrol_site_up and the site alert reaches the receiver.
# Everything listens on 127.0.0.1; every process is stopped on exit.
#
#   tools/integration.sh [BUILD_DIR]        (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
program="$build/patrol-lamp"
farm_bin="$build/bench/bench_site_farm"
deadline_s=${INTEGRATION_DEADLINE:-180}

need=()
for p in prometheus prometheus-alertmanager python3 curl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # The package would start system-wide services on the default ports; this test starts its own.
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod +x /usr/sbin/policy-rc.d
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" ||
        { $sudo rm -f /usr/sbin/policy-rc.d; exit 1; }
    $sudo rm -f /usr/sbin/policy-rc.d
fi
# The shipped files themselves pass their checkers.
promtool check config "$root/deploy/prometheus/prometheus.yml" >/dev/null
promtool check rules "$root/deploy/prometheus/patrol-rules.yml" >/dev/null
amtool check-config "$root/deploy/alertmanager/alertmanager.yml" >/dev/null
for f in "$program" "$farm_bin"; do
    [ -x "$f" ] || { echo "missing $f (build the targets patrol-lamp and bench_site_farm)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
start_s=$SECONDS
fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do echo "--- ${log##*/}" >&2; tail -n 15 "$log" >&2; done
    if [ -n "${prom_port:-}" ]; then
        for q in up ALERTS scrape_duration_seconds; do
            echo "--- Prometheus: $q" >&2
            curl -sS "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$q" >&2 || true
            echo >&2
        done
    fi
    exit 1
}
# Waits until the command succeeds, at most $1 seconds (and never past the overall deadline).
wait_for() {
    local limit=$1
    shift
    local until=$((SECONDS + limit))
    while ! "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $until ] || [ $((SECONDS - start_s)) -ge "$deadline_s" ] && return 1
        sleep 0.5
    done
}
free_ports() {  # count
    python3 - "$1" <<'EOF'
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
}
read -r prom_port am_port hook_port <<<"$(free_ports 3)"

# The farm: 60 sites on 4 loopback ports, every 5th answering 500.
"$farm_bin" --ports 4 --threads 1 --abnormal-every 5 --list "60:$work/sites.txt" >"$work/farm.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q '^ready' "$work/farm.log" || fail "the site farm did not start"
# A URL with a quote and a backslash: its label must survive the exposition format.
first=$(head -n 1 "$work/sites.txt")
echo "${first%/*}/q?x=%22a\"b\\c" >>"$work/sites.txt"

: >"$work/empty.ini"
shard_urls=()
for i in 0 1; do
    "$program" --headless --config "$work/empty.ini" --sites "$work/sites.txt" --shard "$i/2" \
        --listen 127.0.0.1:0 --threads 20 --timeout 5 --interval 1 >/dev/null 2>"$work/shard$i.log" &
    pids+=($!)
done
for i in 0 1; do
    wait_for 20 grep -q 'http://127.0.0.1:[0-9]*/metrics' "$work/shard$i.log" || fail "shard $i did not listen"
    shard_urls+=("$(grep -o 'http://127.0.0.1:[0-9]*/metrics' "$work/shard$i.log" | head -n 1)")
done
shard_targets=$(printf '"%s",' "${shard_urls[@]}" | sed 's|http://||g; s|/metrics||g; s|,$||')

# The webhook receiver: appends every body Alertmanager posts.
cat >"$work/receiver.py" <<'EOF'
import http.server, sys
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(sys.argv[2], "ab") as out:
            out.write(body + b"\n")
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Hook).serve_forever()
EOF
: >"$work/alerts.jsonl"
python3 "$work/receiver.py" "$hook_port" "$work/alerts.jsonl" >"$work/receiver.log" 2>&1 &
pids+=($!)

# Test copies of deploy/: the same rules with a short "for", every second, everything on loopback.
sed -E 's/for: [0-9]+m/for: 3s/' "$root/deploy/prometheus/patrol-rules.yml" >"$work/patrol-rules.yml"
cat >"$work/prometheus.yml" <<EOF
global: { scrape_interval: 1s, evaluation_interval: 1s }
rule_files: [patrol-rules.yml]
alerting:
  alertmanagers: [{ static_configs: [{ targets: ["127.0.0.1:$am_port"] }] }]
scrape_configs:
  - job_name: patrol-lamp
    scrape_timeout: 1s
    static_configs: [{ targets: [$shard_targets] }]
EOF
# Alerts of sites whose checks end at different moments join the group within a second, not group_interval.
sed -E -e "s|url: http://127.0.0.1:5001/|url: http://127.0.0.1:$hook_port/|" \
    -e "s/group_(wait|interval): .*/group_\\1: 1s/" "$root/deploy/alertmanager/alertmanager.yml" >"$work/alertmanager.yml"
promtool check config "$work/prometheus.yml" >"$work/promtool.log" 2>&1 || fail "test Prometheus config"
amtool check-config "$work/alertmanager.yml" >"$work/amtool.log" 2>&1 || fail "test Alertmanager config"

# No cluster: a single Alertmanager would wait for its gossip to settle; alerts are resent every second so
# none is lost to start-up order.
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prom-data" \
    --web.listen-address="127.0.0.1:$prom_port" --rules.alert.resend-delay=1s >"$work/prometheus.log" 2>&1 &
pids+=($!)
prometheus-alertmanager --config.file="$work/alertmanager.yml" --storage.path="$work/am-data" \
    --web.listen-address="127.0.0.1:$am_port" --cluster.listen-address= >"$work/alertmanager.log" 2>&1 &
pids+=($!)
wait_for 30 curl -fsS "http://127.0.0.1:$prom_port/-/ready" || fail "Prometheus did not start"
wait_for 30 curl -fsS "http://127.0.0.1:$am_port/-/ready" || fail "Alertmanager did not start"

# Every site exactly once across the shards, up 0 exactly for the 500s, both shards scraped.
check_sites() {
    curl -fsS "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode 'query=patrol_site_up' >"$work/up.json" &&
        python3 - "$work/up.json" "$work/sites.txt" <<'EOF'
import json, sys
result = json.load(open(sys.argv[1]))["data"]["result"]
sites = [line.rstrip("\n") for line in open(sys.argv[2], encoding="utf-8") if line.strip()]
seen = {}
for series in result:
    url = series["metric"]["url"]
    seen.setdefault(url, []).append((series["metric"]["instance"], series["value"][1]))
problems = [u for u, v in seen.items() if len(v) != 1]
problems += [u for u in sites if u not in seen]
problems += [u for u in seen if u not in sites]
problems += [u for u in sites if u in seen and len(seen[u]) == 1
             and seen[u][0][1] != ("0" if "/status/500/" in u else "1")]
instances = {v[0][0] for v in seen.values()}
if problems or len(instances) != 2:
    print("not yet:", len(seen), "of", len(sites), "sites,", len(instances), "shards,", problems[:3], file=sys.stderr)
    sys.exit(1)
EOF
}
wait_for 60 check_sites || { check_sites || true; fail "Prometheus does not see every site exactly once"; }
echo "Prometheus sees all $(grep -c . "$work/sites.txt") sites once across 2 shards"

# The site alert reaches the receiver, naming exactly the abnormal sites.
check_alert() {
    python3 - "$work/alerts.jsonl" "$work/sites.txt" <<'EOF'
import json, sys
alerted = set()
for line in open(sys.argv[1], encoding="utf-8"):
    if line.strip():
        for alert in json.loads(line)["alerts"]:
            if alert["labels"].get("alertname") == "PatrolSiteDown" and alert["status"] == "firing":
                alerted.add(alert["labels"]["url"])
abnormal = {l.rstrip("\n") for l in open(sys.argv[2], encoding="utf-8") if "/status/500/" in l}
sys.exit(0 if alerted == abnormal else 1)
EOF
}
wait_for 60 check_alert || fail "the PatrolSiteDown alert for the abnormal sites did not reach the receiver"
echo "Alertmanager delivered PatrolSiteDown for the $(grep -c /status/500/ "$work/sites.txt") abnormal sites"
echo "integration test passed in $((SECONDS - start_s)) s"
