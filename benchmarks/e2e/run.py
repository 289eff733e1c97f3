"""End-to-end benchmark: every app under every server on 127.0.0.1, loaded by wrk.

Each round starts each app under each server in turn (the apps in a rotating order, so that a
change of machine load falls on all of them alike), checks that it answers every endpoint as
expected, then loads each endpoint for a fixed time. The table gives medians over the rounds and
ratios to the raw app under the same server; it is written with the chart (PNG) and the samples
(JSON) into the output folder.

    .venv/bin/python benchmarks/e2e/run.py [--quick] [--rounds N] [--duration S] [--warmup S]
        [--servers uvicorn,...] [--apps raw,quenmark,...] [--endpoints text,...] [--out DIR]
    .venv/bin/python benchmarks/e2e/run.py --from results/e2e-....json   # table and chart again
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

from harness import (APPS, ENDPOINTS, HERE, RAW, SERVERS, BenchmarkError, Load, load,
                     machine_load, running, skip_reason, verify, wrk_path)
from report import Results, chart, table

PEERS = ("uvicorn", "granian", "uvloop", "httptools", "starlette", "litestar", "falcon", "msgspec")


def names(value: str, known: dict) -> list[str]:
    chosen = [v for v in value.split(",") if v]
    unknown = [v for v in chosen if v not in known]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown: {', '.join(unknown)} (known: {', '.join(known)})")
    return chosen


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="1 round of 1 s per cell, no warm-up")
    parser.add_argument("--rounds", type=int, help="rounds (default 3)")
    parser.add_argument("--duration", type=int, help="seconds of load per cell and round (default 3)")
    parser.add_argument("--warmup", type=int, help="seconds of load before each measure (default 1)")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--servers", type=lambda v: names(v, SERVERS), default=list(SERVERS))
    parser.add_argument("--apps", type=lambda v: names(v, APPS), default=list(APPS))
    parser.add_argument("--endpoints", type=lambda v: names(v, ENDPOINTS), default=list(ENDPOINTS))
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--from", dest="source", type=Path, help="render a saved run again")
    arguments = parser.parse_args()
    quick = arguments.quick
    arguments.rounds = arguments.rounds or (1 if quick else 3)
    arguments.duration = arguments.duration or (1 if quick else 3)
    arguments.warmup = arguments.warmup if arguments.warmup is not None else (0 if quick else 1)
    if RAW not in arguments.apps:
        arguments.apps.insert(0, RAW)  # every ratio needs it
    return arguments


def describe_machine(arguments: argparse.Namespace) -> dict:
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor() or "unknown CPU")
    commit = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=HERE, capture_output=True,
                            text=True).stdout.strip() or "unknown"
    versions = ", ".join(f"{name} {metadata.version(name)}" for name in PEERS)
    return {
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "commit": commit,
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": f"CPython {platform.python_version()}",
        "versions": versions,
        "load_before": machine_load(),
        "threads": 1,
        "connections": arguments.connections,
        "rounds": arguments.rounds,
        "duration": arguments.duration,
        "warmup": arguments.warmup,
    }


def measure(arguments: argparse.Namespace) -> Results:
    results = Results(describe_machine(arguments))
    settings = Load(duration=arguments.duration, connections=arguments.connections)
    warmup = Load(duration=arguments.warmup, connections=arguments.connections)
    first_load = Load(duration=1, connections=arguments.connections)
    apps = arguments.apps
    for round_index in range(arguments.rounds):
        shift = round_index % len(apps)
        order = apps[shift:] + apps[:shift]
        for server_name in arguments.servers:
            server = SERVERS[server_name]
            for app_name in order:
                app = APPS[app_name]
                if skip_reason(app, server):
                    continue
                with running(server, app) as run:
                    for endpoint_name in arguments.endpoints:
                        verify(run, ENDPOINTS[endpoint_name])
                    # A fresh process first fills its caches, pools and free lists.
                    load(run, ENDPOINTS[arguments.endpoints[0]], first_load)
                    for endpoint_name in arguments.endpoints:
                        endpoint = ENDPOINTS[endpoint_name]
                        if arguments.warmup:
                            load(run, endpoint, warmup)
                        sample = load(run, endpoint, settings)
                        results.add(server_name, app_name, endpoint_name, sample)
                        print(f"[round {round_index + 1}/{arguments.rounds}] {server_name:13} "
                              f"{app_name:10} {endpoint_name:9} {sample.rate:>10,.0f} req/s  "
                              f"p99 {sample.p99_us / 1000:6.2f} ms  CPU {sample.cpu_us:5.1f} µs/req",
                              file=sys.stderr, flush=True)
    results.meta["load_after"] = machine_load()
    return results


def main() -> int:
    arguments = parse_arguments()
    if arguments.source:
        results = Results.from_json(json.loads(arguments.source.read_text()))
        stem = arguments.source.with_suffix("")
    else:
        wrk_path()
        cells = sum(1 for s in arguments.servers for a in arguments.apps
                    if not skip_reason(APPS[a], SERVERS[s])) * len(arguments.endpoints)
        starts = cells // len(arguments.endpoints) * arguments.rounds
        seconds = cells * arguments.rounds * (arguments.duration + arguments.warmup) + starts * 2
        print(f"{cells} cells × {arguments.rounds} round(s): about {seconds / 60:.0f} min",
              file=sys.stderr)
        try:
            results = measure(arguments)
        except BenchmarkError as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        arguments.out.mkdir(parents=True, exist_ok=True)
        stem = arguments.out / time.strftime("e2e-%Y%m%d-%H%M%S")
        stem.with_suffix(".json").write_text(json.dumps(results.to_json(), indent=1) + "\n")
    text = table(results)
    print(text)
    stem.with_suffix(".txt").write_text(text)
    chart(results, str(stem.with_suffix(".png")))
    print(f"written: {stem}.txt, {stem}.png, {stem}.json")
    return 0


if __name__ == "__main__":
    sys.exit(main())
