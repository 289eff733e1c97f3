"""One cell of the end-to-end benchmark: one app under one server on one endpoint.

Runs the app and, beside it, the raw app of the same server (both stay up; only the one under
load uses the CPU), loads them in alternation and prints each measure, the medians, the ratio
and the app's cost per request above raw. With --profile, one more load of the app is recorded
with perf or py-spy and the top entries are printed; perf's are in µs of CPU per request, beside
the raw app's (recorded the same way) and sorted by the difference.

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
import time
from pathlib import Path

from harness import (APPS, ENDPOINTS, RAW, SERVERS, BenchmarkError, Load, Sample, load,
                     machine_load, overhead_us, running, skip_reason, verify)
from profiling import PROFILERS, PerfProfile, env_for, perf_report, py_spy_report, record


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("app", choices=list(APPS))
    parser.add_argument("server", choices=list(SERVERS))
    parser.add_argument("endpoint", choices=list(ENDPOINTS))
    parser.add_argument("--duration", type=int, default=5, help="seconds per measure (default 5)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="measures of each app (default 3; 0 to profile only)")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--no-raw", dest="raw", action="store_false", help="leave the raw app out")
    parser.add_argument("--profile", choices=PROFILERS, help="record one more load of the app")
    parser.add_argument("--top", type=int, default=30, help="profile entries to print (default 30)")
    parser.add_argument("--output", type=Path, help="also write the profile's report to this file")
    return parser.parse_args()


def profile(run, endpoint, settings: Load, profiler: str, top: int):
    """Loads the endpoint while the profiler records the server's processes: a PerfProfile for
    perf, the report's text for py-spy."""
    with tempfile.TemporaryDirectory(prefix="qm-e2e-profile-") as folder:
        output = Path(folder) / "profile.data"
        pids = run.pids()
        # The recording starts a second into the load and stops a second before its end, so that
        # it sees the steady state only.
        seconds = max(1, settings.duration - 2)
        samples = []
        loader = threading.Thread(target=lambda: samples.append(load(run, endpoint, settings)))
        loader.start()
        time.sleep(1.0)
        recorder = record(profiler, pids, seconds, output)
        _, errors = recorder.communicate()
        loader.join()
        if recorder.returncode != 0 or not output.exists() or not samples:
            raise BenchmarkError(f"{profiler} failed ({recorder.returncode}): {errors[-2000:]}")
        if profiler == "perf":
            return PerfProfile.read(output, pids, requests=samples[0].rate * seconds)
        return py_spy_report(output, top)


def summarise(name: str, samples: dict[str, list[Sample]], with_raw: bool) -> None:
    def medians(name: str) -> tuple[float, float, float]:
        runs = samples[name]
        return (statistics.median(s.rate for s in runs), statistics.median(s.p99_us for s in runs),
                statistics.median(s.cpu_us for s in runs))

    rate, p99, cpu = medians(name)
    print(f"median {name}: {rate:,.0f} req/s, p99 {p99 / 1000:.2f} ms, CPU {cpu:.2f} µs/req")
    if with_raw:
        raw_rate, raw_p99, raw_cpu = medians(RAW)
        print(f"median {RAW}: {raw_rate:,.0f} req/s, p99 {raw_p99 / 1000:.2f} ms, CPU {raw_cpu:.2f} µs/req")
        print(f"ratio to raw: {rate / raw_rate:.3f}× req/s, {p99 / raw_p99:.2f}× p99; above raw: "
              f"{overhead_us(rate, raw_rate):+.2f} µs per request by rate, {cpu - raw_cpu:+.2f} µs "
              f"by server CPU time")


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
    samples: dict[str, list[Sample]] = {app.name: [], RAW: []}
    try:
        with contextlib.ExitStack() as stack:
            env = env_for(arguments.profile)
            runs = [stack.enter_context(running(server, app, env=env))]
            if with_raw:
                runs.append(stack.enter_context(running(server, APPS[RAW], env=env)))
            for run in runs:
                verify(run, endpoint)
                load(run, endpoint, warmup)
            for index in range(arguments.repeat):
                for run in runs if index % 2 == 0 else runs[::-1]:
                    sample = load(run, endpoint, settings)
                    samples[run.app.name].append(sample)
                    print(f"  {run.app.name:10} {sample.rate:>10,.0f} req/s  p99 "
                          f"{sample.p99_us / 1000:6.2f} ms  CPU {sample.cpu_us:6.2f} µs/req", flush=True)
            if arguments.repeat:
                summarise(app.name, samples, with_raw)
            if arguments.profile == "perf":
                app_profile = profile(runs[0], endpoint, settings, "perf", arguments.top)
                raw_profile = profile(runs[1], endpoint, settings, "perf", arguments.top) if with_raw else None
                text = perf_report(app_profile, arguments.top, raw_profile)
            elif arguments.profile:
                text = profile(runs[0], endpoint, settings, arguments.profile, arguments.top)
            if arguments.profile:
                print()
                print(text)
                if arguments.output:
                    arguments.output.write_text(text)
    except (BenchmarkError, RuntimeError) as error:  # RuntimeError: no such profiler here
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"load average after {machine_load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
