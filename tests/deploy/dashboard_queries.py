#!/usr/bin/env python3
"""Checks the Grafana dashboards of a folder and prints their queries, one JSON string a line, with Grafana's
variables replaced so Prometheus can parse or run them."""
import json
import pathlib
import sys

SUBSTITUTES = {"$__rate_interval": "5m", "$__interval": "1m", "$__range": "1h"}

problems = []
queries = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    dashboard = json.loads(path.read_text(encoding="utf-8"))
    ids = [p["id"] for p in dashboard["panels"]]
    if len(ids) != len(set(ids)):
        problems.append(f"{path.name}: panel ids repeat")
    for panel in dashboard["panels"]:
        if not panel.get("targets"):
            problems.append(f"{path.name}: panel {panel['title']!r} has no query")
        for target in panel.get("targets", []):
            if target.get("datasource", {}).get("uid") != "${datasource}" or not target.get("expr"):
                problems.append(f"{path.name}: panel {panel['title']!r} query {target.get('refId')} has no expr "
                                "or not the dashboard's data source")
                continue
            expr = target["expr"]
            for name, value in SUBSTITUTES.items():
                expr = expr.replace(name, value)
            if "$" in expr:
                problems.append(f"{path.name}: panel {panel['title']!r} uses an unknown variable: {expr}")
            queries.append(expr)
if problems or not queries:
    sys.exit("\n".join(problems) or "no dashboard queries found")
for q in queries:
    print(json.dumps(q))
