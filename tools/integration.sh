#!/usr/bin/env bash
# The exporter against the real stack: two shards of `patrol-lamp --headless --listen` over a loopback site
# farm with abnormal sites, a real Prometheus scraping both every second with deploy/'s rules as shipped, and
# a real Alertmanager with deploy/'s routes posting to a webhook receiver run here. Passes when Prometheus sees
# every site exactly once with the right patrol_site_up, the site alerts reach the receiver, a site that goes
# down pages within 3 minutes of the shipped settings (measured, printed), and a shard killed with kill -9
# and restarted raises its own alert without any false "resolved". Every dashboard query must run.
# Everything listens on 127.0.0.1; every process is stopped on exit.
#
#   tools/integration.sh [BUILD_DIR]        (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
program="$build/patrol-lamp"
farm_bin="$build/bench/bench_site_farm"
deadline_s=${INTEGRATION_DEADLINE:-480}

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
# The shipped files pass their checkers and the rules' unit tests.
"$root/tests/deploy/check_deploy.sh" "$root/deploy"
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
read -r prom_port am_port hook_port switch_port shard_port0 shard_port1 <<<"$(free_ports 6)"
shard_ports=("$shard_port0" "$shard_port1")
prom_query() { # expr: prints the result array
    curl -fsS "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
        python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin)["data"]["result"]))'
}
since() { python3 -c "import sys; print(f'{float(sys.argv[1]) - float(sys.argv[2]):.1f}')" "$@"; }

# The farm: 60 sites on 4 loopback ports, every 5th answering 500.
"$farm_bin" --ports 4 --threads 1 --abnormal-every 5 --list "60:$work/sites.txt" >"$work/farm.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q '^ready' "$work/farm.log" || fail "the site farm did not start"
# A URL with a quote and a backslash: its label must survive the exposition format.
first=$(head -n 1 "$work/sites.txt")
echo "${first%/*}/q?x=%22a\"b\\c" >>"$work/sites.txt"
# A site this test takes down and brings back: 500 while the file "down" exists.
cat >"$work/switch.py" <<'PY'
import http.server, os, sys
class Switch(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(500 if os.path.exists(sys.argv[2]) else 200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Switch).serve_forever()
PY
python3 "$work/switch.py" "$switch_port" "$work/down" >"$work/switch.log" 2>&1 &
pids+=($!)
switch_url="http://127.0.0.1:$switch_port/switch"
echo "$switch_url" >>"$work/sites.txt"

: >"$work/empty.ini"
shard_pids=()
start_shard() { # index; on its fixed port, so a restarted shard is the same target
    "$program" --headless --config "$work/empty.ini" --sites "$work/sites.txt" --shard "$1/2" \
        --listen "127.0.0.1:${shard_ports[$1]}" --threads 20 --timeout 5 --interval 1 \
        >/dev/null 2>>"$work/shard$1.log" &
    shard_pids[$1]=$!
    pids+=($!)
}
for i in 0 1; do start_shard $i; done
for i in 0 1; do
    wait_for 20 curl -fsS "http://127.0.0.1:${shard_ports[$i]}/metrics" || fail "shard $i did not listen"
done

# The webhook receiver: appends every body Alertmanager posts, with the time it came.
cat >"$work/receiver.py" <<'PY'
import http.server, json, sys, time
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        with open(sys.argv[2], "a", encoding="utf-8") as out:
            out.write(json.dumps({"at": time.time(), "body": body}) + "\n")
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Hook).serve_forever()
PY
: >"$work/alerts.jsonl"
python3 "$work/receiver.py" "$hook_port" "$work/alerts.jsonl" >"$work/receiver.log" 2>&1 &
pids+=($!)
# What the receiver got. `urls STATUS ALERT` prints the URLs alerted; `first STATUS ALERT [LABEL=VALUE]...`
# prints when the first such alert came, failing before; `truncated` fails when a message has no count of
# the alerts it left out.
cat >"$work/received.py" <<'PY'
import json, sys
messages = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
what = sys.argv[2]
if what == "truncated":
    sys.exit(0 if messages and all("truncatedAlerts" in m["body"] for m in messages) else 1)
status, name = sys.argv[3], sys.argv[4]
wanted = dict(arg.split("=", 1) for arg in sys.argv[5:])
hits = [(m["at"], a) for m in messages for a in m["body"]["alerts"]
        if a["status"] == status and a["labels"].get("alertname") == name
        and all(a["labels"].get(k) == v for k, v in wanted.items())]
if what == "urls":
    print("\n".join(sorted({a["labels"]["url"] for _, a in hits})))
elif hits:
    print(f"{hits[0][0]:.3f}")
else:
    sys.exit(1)
PY
received() { python3 "$work/received.py" "$work/alerts.jsonl" "$@"; }

# The shipped rules and routes as they are, with Prometheus scraping and evaluating every second.
cp "$root/deploy/prometheus/patrol-rules.yml" "$work/patrol-rules.yml"
cat >"$work/prometheus.yml" <<YML
global: { scrape_interval: 1s, evaluation_interval: 1s }
rule_files: [patrol-rules.yml]
alerting:
  alertmanagers: [{ static_configs: [{ targets: ["127.0.0.1:$am_port"] }] }]
scrape_configs:
  - job_name: patrol-lamp
    scrape_timeout: 1s
    static_configs: [{ targets: ["127.0.0.1:$shard_port0", "127.0.0.1:$shard_port1"] }]
YML
sed -E -e "s|url: http://127.0.0.1:5001/|url: http://127.0.0.1:$hook_port/|" \
    "$root/deploy/alertmanager/alertmanager.yml" >"$work/alertmanager.yml"
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

# Every site exactly once across the shards, up 0 exactly for the 500s (and the switch site while down), both
# shards scraped.
check_sites() {
    curl -fsS "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode 'query=patrol_site_up' >"$work/up.json" &&
        python3 - "$work/up.json" "$work/sites.txt" "$switch_url" "$work/down" <<'PY'
import json, os, sys
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
             and seen[u][0][1] != ("0" if "/status/500/" in u or (u == sys.argv[3] and os.path.exists(sys.argv[4]))
                                   else "1")]
instances = {v[0][0] for v in seen.values()}
if problems or len(instances) != 2:
    print("not yet:", len(seen), "of", len(sites), "sites,", len(instances), "shards,", problems[:3], file=sys.stderr)
    sys.exit(1)
PY
}
wait_for 60 check_sites || { check_sites || true; fail "Prometheus does not see every site exactly once"; }
echo "Prometheus sees all $(grep -c . "$work/sites.txt") sites once across 2 shards"
prom_query 'count(count by (shard) (patrol_shard_info{shards="2"}))' | grep -q '"2"\]' ||
    fail "patrol_shard_info does not name shards 0 and 1 of 2"
prom_query 'patrol_build_info' | grep -q '"revision"' || fail "patrol_build_info has no revision"

# The site alerts reach the receiver, naming exactly the abnormal sites.
check_alert() { diff <(received urls firing PatrolSiteDown) <(grep /status/500/ "$work/sites.txt" | sort); }
wait_for 150 check_alert || fail "the PatrolSiteDown alert for the abnormal sites did not reach the receiver"
echo "Alertmanager delivered PatrolSiteDown for the $(grep -c /status/500/ "$work/sites.txt") abnormal sites"
received truncated || fail "a message does not say how many alerts it left out (truncatedAlerts)"

# The switch site goes down while the other shard is killed outright and restarted.
switch_instance=$(prom_query "patrol_site_up{url=\"$switch_url\"}" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["metric"]["instance"])')
killed=0
[ "127.0.0.1:$shard_port0" = "$switch_instance" ] && killed=1
killed_instance="127.0.0.1:${shard_ports[$killed]}"
touch "$work/down"
down_at=$(date +%s.%N)
kill -9 "${shard_pids[$killed]}"
wait "${shard_pids[$killed]}" 2>/dev/null || true
# Its id may be reused by then: cleanup must not signal it.
for i in "${!pids[@]}"; do
    if [ "${pids[$i]}" = "${shard_pids[$killed]}" ]; then unset 'pids[i]'; fi
done
wait_for 60 received first firing PatrolShardMissing instance="$killed_instance" ||
    fail "no PatrolShardMissing for the killed shard $killed_instance"
shard_alert_s=$(since "$(received first firing PatrolShardMissing instance="$killed_instance")" "$down_at")
sleep 10
start_shard "$killed"
back_after_s=$(since "$(date +%s.%N)" "$down_at")
first_pass_seen() { prom_query "patrol_passes_total{instance=\"$killed_instance\"} > 0" | grep -q value; }
wait_for 30 first_pass_seen || fail "the restarted shard's first pass was not scraped"
back_at=$SECONDS

wait_for 180 received first firing PatrolSiteDown url="$switch_url" ||
    fail "the switch site's PatrolSiteDown did not reach the receiver"
down_s=$(since "$(received first firing PatrolSiteDown url="$switch_url")" "$down_at")
# Here scrape and evaluation take a second each; shipped, a scrape every 30 s of up to 20 s, evaluation every 30 s.
shipped_down_s=$(since "$down_s" -78)
echo "site down -> first message: $down_s s here, at most $shipped_down_s s with the shipped intervals"
python3 -c "import sys; sys.exit(float(sys.argv[1]) > 180)" "$shipped_down_s" ||
    fail "a site going down pages after more than 3 minutes"

# A false "resolved" would come within a group interval (30 s) of the shard's return.
while [ $((SECONDS - back_at)) -lt 35 ]; do sleep 1; done
false_resolved=$(received urls resolved PatrolSiteDown | grep -c /status/500/ || true)
[ "$false_resolved" -eq 0 ] || fail "$false_resolved abnormal sites were reported resolved around the restart"
check_sites || fail "after the restart Prometheus does not see every site exactly once"
echo "shard killed with kill -9: its alert after $shard_alert_s s, back after $back_after_s s, no site resolved"

rm "$work/down"
up_at=$(date +%s.%N)
wait_for 120 received first resolved PatrolSiteDown url="$switch_url" ||
    fail "the switch site's recovery did not reach the receiver"
up_s=$(since "$(received first resolved PatrolSiteDown url="$switch_url")" "$up_at")
echo "site back -> resolved message: $up_s s here, at most $(since "$up_s" -78) s with the shipped intervals"

# Every dashboard query runs on the live data; only the certificate table may be empty (no https here).
python3 "$root/tests/deploy/dashboard_queries.py" "$root/deploy/grafana" >"$work/queries"
while read -r q; do
    expr=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1]))' "$q")
    result=$(prom_query "$expr") || fail "the dashboard query does not run: $expr"
    [ "$result" != "[]" ] || [[ "$expr" == *cert_expiry* ]] || fail "the dashboard query finds nothing: $expr"
done <"$work/queries"
echo "all $(wc -l <"$work/queries") dashboard queries run on the live data"
echo "integration test passed in $((SECONDS - start_s)) s"
"$root/tools/integration_tls.sh" "$build"
