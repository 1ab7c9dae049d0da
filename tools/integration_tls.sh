#!/usr/bin/env bash
# The metrics server behind TLS and basic auth, scraped by a real Prometheus: one headless run with
# --web-config (a fresh self-signed certificate, a bcrypt user), and a Prometheus with two jobs against it, one
# with the right password and one with a wrong one. Passes when the first is up and carries patrol_sites, and
# the second is down. Everything on 127.0.0.1, bounded in time, every process stopped on exit.
#
#   tools/integration_tls.sh [BUILD_DIR]        (default: build; needs prometheus, openssl, python3, curl)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
program="$build/patrol-lamp"
[ -x "$program" ] || { echo "missing $program" >&2; exit 1; }
for p in prometheus openssl python3 curl; do
    command -v "$p" >/dev/null || { echo "missing $p" >&2; exit 1; }
done

work=$(mktemp -d)
# The background jobs are the exporter and Prometheus.
trap 'kill $(jobs -p) 2>/dev/null || true; wait || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
fail() {
    echo "FAIL (TLS): $*" >&2
    for log in "$work"/*.log; do echo "--- ${log##*/}" >&2; tail -n 15 "$log" >&2; done
    exit 1
}
wait_for() {  # seconds command...
    local until=$((SECONDS + $1))
    shift
    while ! "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.5
    done
}
read -r patrol_port prom_port closed_port < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))')

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
    -out "$work/cert.pem" -days 2 -subj /CN=patrol-test -addext subjectAltName=IP:127.0.0.1 2>"$work/openssl.log"
hash=$(python3 -W ignore -c 'import crypt; print(crypt.crypt("s3cret", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1024)))')
cat >"$work/web.yml" <<YAML
tls_server_config:
  cert_file: cert.pem
  key_file: key.pem
basic_auth_users:
  prometheus: '$hash'
YAML
echo "http://127.0.0.1:$closed_port/" >"$work/sites.txt"
: >"$work/empty.ini"
"$program" --headless --config "$work/empty.ini" --sites "$work/sites.txt" --no-history --timeout 2 \
    --interval 1 --listen "127.0.0.1:$patrol_port" --web-config "$work/web.yml" >/dev/null 2>"$work/patrol.log" &
wait_for 20 curl -fsS --cacert "$work/cert.pem" -u prometheus:s3cret "https://127.0.0.1:$patrol_port/metrics" ||
    fail "the exporter did not answer over TLS with the password"
[ "$(curl -sS -o /dev/null -w '%{http_code}' --cacert "$work/cert.pem" "https://127.0.0.1:$patrol_port/metrics")" = 401 ] ||
    fail "the exporter answered without the password"

cat >"$work/prometheus.yml" <<YAML
global: { scrape_interval: 1s, scrape_timeout: 1s }
scrape_configs:
  - job_name: patrol
    scheme: https
    tls_config: { ca_file: $work/cert.pem }
    basic_auth: { username: prometheus, password: s3cret }
    static_configs: [{ targets: ['127.0.0.1:$patrol_port'] }]
  - job_name: wrong-password
    scheme: https
    tls_config: { ca_file: $work/cert.pem }
    basic_auth: { username: prometheus, password: wrong }
    static_configs: [{ targets: ['127.0.0.1:$patrol_port'] }]
YAML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prom-data" \
    --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
prom_query() {
    curl -fsS "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
        python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin)["data"]["result"]))'
}
is_one() { [ "$(prom_query "$1" | python3 -c 'import json, sys; r = json.load(sys.stdin); print(r[0]["value"][1] if r else "")')" = 1 ]; }
wait_for 60 is_one 'up{job="patrol"}' || fail "Prometheus does not scrape the exporter over TLS with basic auth"
wait_for 30 is_one 'count(patrol_sites{job="patrol"})' || fail "the scraped page has no patrol_sites"
wait_for 30 is_one 'count(up{job="wrong-password"} == 0)' || fail "a wrong password was let in"
echo "TLS + basic auth: Prometheus scrapes the exporter, a wrong password is refused"
