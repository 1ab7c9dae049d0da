#!/usr/bin/env bash
# The shipped monitoring files: their own checkers, the rules' unit tests, and every dashboard query parsed
# as PromQL. Exits 77 (skipped) when promtool is missing; the integration run installs it and runs this too.
#
#   tests/deploy/check_deploy.sh [DEPLOY_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deploy=$(cd "${1:-$here/../../deploy}" && pwd)
if ! command -v promtool >/dev/null; then
    echo "promtool is not installed (Debian package prometheus): deploy/ files not checked"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

promtool check config "$deploy/prometheus/prometheus.yml" >/dev/null
promtool test rules "$deploy"/prometheus/tests/*.test.yml
if command -v amtool >/dev/null; then
    amtool check-config "$deploy/alertmanager/alertmanager.yml" >/dev/null
else
    echo "amtool is not installed (Debian package prometheus-alertmanager): alertmanager.yml not checked"
fi
# promtool parses PromQL only inside rules, so each dashboard query becomes a recording rule.
python3 "$here/dashboard_queries.py" "$deploy/grafana" >"$work/queries"
{
    echo "groups: [{ name: dashboard, rules: ["
    n=0
    while read -r q; do
        n=$((n + 1))
        echo "  { record: dashboard_query_$n, expr: $q },"
    done <"$work/queries"
    echo "]}]"
} >"$work/dashboard-rules.yml"
promtool check rules "$work/dashboard-rules.yml" >/dev/null ||
    { promtool check rules "$work/dashboard-rules.yml" >&2 || true; exit 1; }
echo "deploy/: configs valid, rule tests passed, $(wc -l <"$work/queries") dashboard queries parse"
