"""One cell of the end-to-end benchmark: one app under one server on one endpoint.

Runs the app and, beside it, the raw app of the same server (both stay up; only the one under
load uses the CPU), loads them in alternation and prints each measure, the medians, the ratio
and the app's cost per request above raw. With --profile, one more load of the app is recorded
with perf or py-spy and the top entries are printed.

    .venv/bin/python benchmarks/e2e/cell.py quenmark uvicorn json [--duration 5] [--repeat 3]
        [--no-raw] [--profile perf|py-spy] [--top 30] [--output FILE]

or `make bench-e2e-cell APP=quenmark SERVER=granian-rsgi ENDPOINT=json [ARGS="--profile perf"]`.
"""

from __future__ import annotations

import argparse
import contextlib
import statistics
import sys
import tempfile
import threading
from pathlib import Path

from harness import (APPS, ENDPOINTS, RAW, SERVERS, BenchmarkError, Load, load, machine_load,
                     overhead_us, running, skip_reason, verify)
from profiling import PROFILERS, env_for, record, report


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("app", choices=list(APPS))
    parser.add_argument("server", choices=list(SERVERS))
    parser.add_argument("endpoint", choices=list(ENDPOINTS))
    parser.add_argument("--duration", type=int, default=5, help="seconds per measure (default 5)")
    parser.add_argument("--repeat", type=int, default=3, help="measures of each app (default 3)")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--no-raw", dest="raw", action="store_false", help="leave the raw app out")
    parser.add_argument("--profile", choices=PROFILERS, help="record one more load of the app")
    parser.add_argument("--top", type=int, default=30, help="profile entries to print (default 30)")
    parser.add_argument("--output", type=Path, help="also write the profile's report to this file")
    return parser.parse_args()


def profile(run, endpoint, settings: Load, profiler: str, top: int) -> str:
    """Loads the endpoint while the profiler records the server's processes."""
    with tempfile.TemporaryDirectory(prefix="qm-e2e-profile-") as folder:
        output = Path(folder) / "profile.data"
        pids = run.pids()
        # The recording starts a second into the load and stops a second before its end, so that
        # it sees the steady state only.
        seconds = max(1, settings.duration - 2)
        loader = threading.Thread(target=load, args=(run, endpoint, settings))
        loader.start()
        threading.Event().wait(1.0)
        recorder = record(profiler, pids, seconds, output)
        _, errors = recorder.communicate()
        loader.join()
        if recorder.returncode != 0 or not output.exists():
            raise BenchmarkError(f"{profiler} failed ({recorder.returncode}): {errors[-2000:]}")
        return report(profiler, output, pids, top)


def main() -> int:
    arguments = parse_arguments()
    server, app, endpoint = SERVERS[arguments.server], APPS[arguments.app], ENDPOINTS[arguments.endpoint]
    if reason := skip_reason(app, server):
        print(f"error: {reason}", file=sys.stderr)
        return 2
    settings = Load(duration=arguments.duration, connections=arguments.connections)
    warmup = Load(duration=1, connections=arguments.connections)
    with_raw = arguments.raw and app.name != RAW
    print(f"{app.name} under {server.title}, {endpoint.method} {endpoint.path}; wrk -t1 "
          f"-c{arguments.connections}, {arguments.repeat} × {arguments.duration} s; "
          f"load average before {machine_load()}")
    rates: dict[str, list[float]] = {app.name: [], RAW: []}
    p99s: dict[str, list[float]] = {app.name: [], RAW: []}
    try:
        with contextlib.ExitStack() as stack:
            runs = [stack.enter_context(running(server, app, env=env_for(arguments.profile)))]
            if with_raw:
                runs.append(stack.enter_context(running(server, APPS[RAW])))
            for run in runs:
                verify(run, endpoint)
                load(run, endpoint, warmup)
            for index in range(arguments.repeat):
                for run in runs if index % 2 == 0 else runs[::-1]:
                    sample = load(run, endpoint, settings)
                    rates[run.app.name].append(sample.rate)
                    p99s[run.app.name].append(sample.p99_us)
                    print(f"  {run.app.name:10} {sample.rate:>10,.0f} req/s  p99 "
                          f"{sample.p99_us / 1000:6.2f} ms", flush=True)
            rate = statistics.median(rates[app.name])
            p99 = statistics.median(p99s[app.name])
            print(f"median {app.name}: {rate:,.0f} req/s, p99 {p99 / 1000:.2f} ms")
            if with_raw:
                raw_rate, raw_p99 = statistics.median(rates[RAW]), statistics.median(p99s[RAW])
                print(f"median {RAW}: {raw_rate:,.0f} req/s, p99 {raw_p99 / 1000:.2f} ms")
                print(f"ratio to raw: {rate / raw_rate:.3f}× req/s, {p99 / raw_p99:.2f}× p99; "
                      f"{overhead_us(rate, raw_rate):+.2f} µs per request above raw")
            if arguments.profile:
                text = profile(runs[0], endpoint, settings, arguments.profile, arguments.top)
                print()
                print(text)
                if arguments.output:
                    arguments.output.write_text(text)
    except BenchmarkError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"load average after {machine_load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
