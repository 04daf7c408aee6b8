#!/usr/bin/python3
"""Reads the service's metrics (the Prometheus text format) on standard input
and checks them with the Prometheus client's own parser: every family the
service exports is there with its type, each histogram's buckets grow up to
its count, and each expectation given holds.

Usage: metrics_check.py ['NAME{LABEL="VALUE",...}>=N' ...]
Runs with Debian's interpreter, which sees python3-prometheus-client.
Exit status 0 when all holds, 1 otherwise (with the reasons on standard error).
"""
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

FAMILIES = {
    "zev_components_loaded": "gauge",
    "zev_components_running": "gauge",
    "zev_host_restarts": "counter",
    "zev_strategy_passes": "counter",
    "zev_downloaded_bytes": "counter",
    "zev_downloads": "counter",
    "zev_extractions": "counter",
    "zev_rpc_calls": "counter",
    "zev_rpc_call_duration_seconds": "histogram",
    "zev_log_dropped_lines": "counter",
}
EXPECTATION = re.compile(r'^(\w+)(?:\{(.*)\})?>=(\d+(?:\.\d+)?)$')


def main(expectations):
    text = sys.stdin.read()
    families = {f.name: f for f in text_string_to_metric_families(text)}
    problems = []
    for name, kind in FAMILIES.items():
        if name not in families:
            problems.append("no family " + name)
        elif families[name].type != kind:
            problems.append("%s is a %s, not a %s" % (name, families[name].type, kind))
    for family in families.values():
        if family.type != "histogram":
            continue
        buckets = [s for s in family.samples if s.name.endswith("_bucket")]
        counts = [s.value for s in sorted(buckets, key=lambda s: float(s.labels["le"]))]
        total = [s.value for s in family.samples if s.name.endswith("_count")]
        if counts != sorted(counts) or not total or counts[-1] != total[0]:
            problems.append("histogram %s is not cumulative up to its count" % family.name)
    samples = [s for f in families.values() for s in f.samples]
    for expectation in expectations:
        match = EXPECTATION.match(expectation)
        if not match:
            problems.append("cannot read the expectation " + expectation)
            continue
        name, labels, least = match.group(1), match.group(2) or "", float(match.group(3))
        wanted = dict(re.findall(r'(\w+)="([^"]*)"', labels))
        values = [s.value for s in samples if s.name == name and s.labels == wanted]
        if not values or values[0] < least:
            problems.append("%s is %s" % (expectation, values[0] if values else "missing"))
    for problem in problems:
        print("metrics_check: " + problem, file=sys.stderr)
    if problems:
        print(text, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
