"""Soak jobs for the example application (`make soak`, `make soak-refcount`).

servers   The application (scripts/soak_app.py) under uvicorn and granian (RSGI), each driven
          by wrk with scripts/soak.lua for --requests requests mixing every route, error paths
          included, while the server's resident memory (its whole process tree) is sampled.
          Fails when a server answers otherwise than expected or its memory keeps growing: the
          growth fitted over the second half of the run (Theil-Sen slope, which a few outliers
          or one step do not move) must stay under --max-growth-mib or --max-growth-percent.
refcount  Under the debug interpreter: the same mix in process, through the ASGI and the RSGI
          entry points, in rounds; after a few warm-up rounds the interpreter's total
          reference count must stay flat (--max-drift references per request at most).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "soak"
BIN = Path(sys.executable).parent
MIB = 1 << 20

JSON = [(b"content-type", b"application/json")]
# (method, target, headers, body, expected status): every route of examples/hello.py.
MIX = [
    ("GET", b"/", [], b"", 200),
    ("GET", b"/items/1", [], b"", 200),
    ("GET", b"/items/0", [], b"", 404),  # the handler's NotFound (ids start at 1)
    ("GET", b"/items/abc", [], b"", 404),  # no route: the segment is not an int
    ("GET", b"/items/" + b"9" * 40, [], b"", 404),
    ("POST", b"/items", JSON, b'{"name": "desk"}', 201),
    ("POST", b"/items", JSON, b'{"name": "' + b"x" * 8000 + b'"}', 201),
    ("POST", b"/items", JSON, b"{not json", 400),
    ("POST", b"/items", JSON, b"{}", 500),  # the handler's KeyError: an unhandled error, logged
    ("GET", b"/hello/ann?greeting=Hi", [], b"", 200),
    ("GET", b"/hello/%2541?greeting=%F0%9F%98%80&x=1&x=2", [(b"cookie", b"a=1; b=%20")], b"", 200),
    ("GET", b"/hello/caf%C3%A9/", [(b"accept", b"*/*"), (b"x-forwarded-for", b"10.0.0.1")], b"",
     200),
    ("GET", b"/missing/path", [], b"", 404),
    ("DELETE", b"/items/1", [], b"", 405),  # the path is served for GET: Allow says so
]


# --- statistics ----------------------------------------------------------------------------------


def theil_sen(xs: list[float], ys: list[float]) -> float:
    """The median of the slopes between all pairs of points (at most 400 points are used)."""
    step = max(1, len(xs) // 400)
    xs, ys = xs[::step], ys[::step]
    slopes = [(ys[j] - ys[i]) / (xs[j] - xs[i])
              for i in range(len(xs)) for j in range(i + 1, len(xs)) if xs[j] != xs[i]]
    return statistics.median(slopes) if slopes else 0.0


# --- servers mode --------------------------------------------------------------------------------


def tree_rss(pid: int) -> int:
    """Resident bytes of a process and all its descendants."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total, todo = 0, [pid]
    while todo:
        current = todo.pop()
        todo.extend(children.get(current, ()))
        try:
            with open(f"/proc/{current}/statm") as statm:
                total += int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, IndexError, ValueError):
            pass
    return total


def lua_string(value: bytes) -> str:
    text = "".join(chr(c) if 32 <= c < 127 and c not in b'"\\' else f"\\{c}" for c in value)
    return '"' + text + '"'


def write_mix() -> Path:
    rows = []
    for method, target, headers, body, _ in MIX:
        fields = ", ".join(f"[{lua_string(k)}] = {lua_string(v)}" for k, v in headers)
        rows.append(f"  {{{lua_string(method.encode())}, {lua_string(target)}, {{{fields}}}, "
                    f"{lua_string(body) if body else 'nil'}}},")
    path = WORK / "mix.lua"
    path.write_text("return {\n" + "\n".join(rows) + "\n}\n")
    return path


SERVERS = {
    "uvicorn": lambda port: [str(BIN / "uvicorn"), "--app-dir", str(ROOT / "scripts"),
                             "--host", "127.0.0.1", "--port", str(port), "--log-level", "warning",
                             "--no-access-log", "soak_app:app"],
    "granian-rsgi": lambda port: [str(BIN / "granian"), "--interface", "rsgi",
                                  "--host", "127.0.0.1", "--port", str(port), "--workers", "1",
                                  "--no-log", "soak_app:app"],
}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(kind: str) -> tuple[subprocess.Popen, str]:
    port = free_port()
    log = open(WORK / f"{kind}.log", "wb")
    env = dict(os.environ, PYTHONPATH=str(ROOT / "scripts"))
    process = subprocess.Popen(SERVERS[kind](port), cwd=ROOT, env=env, stdout=log,
                               stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60
    while True:
        if process.poll() is not None:
            raise SystemExit(f"{kind} exited; see {log.name}")
        try:
            urllib.request.urlopen(base + "/", timeout=2).read()
            return process, base
        except OSError:
            if time.monotonic() > deadline:
                process.kill()
                raise SystemExit(f"{kind} did not start within 60 s") from None
            time.sleep(0.2)


def stop(process: subprocess.Popen) -> None:
    process.terminate()
    try:
        process.wait(timeout=15)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def soak_server(kind: str, options: argparse.Namespace, mix_file: Path) -> bool:
    process, base = start(kind)
    samples: list[tuple[float, int]] = []
    running = threading.Event()
    running.set()

    def sample() -> None:
        while running.is_set():
            samples.append((time.monotonic(), tree_rss(process.pid)))
            time.sleep(options.interval)

    sampler = threading.Thread(target=sample, daemon=True)
    print(f"== {kind}: {options.requests} requests, {options.connections} connections", flush=True)
    try:
        sampler.start()
        report = drive(base, options, mix_file)
    finally:
        running.clear()
        sampler.join()
        stop(process)
    return report is not None and check_answers(report, options) & check_memory(samples, options)


def drive(base: str, options: argparse.Namespace, mix_file: Path) -> dict | None:
    """Runs wrk in segments until the requests are answered; their reports summed.

    wrk runs for the duration it is given even when the script has stopped its thread, so each
    segment is given about the time its share needs at the rate seen so far (at most 30 s), and
    the last one stops at its quota and waits out only a little of its duration.
    """
    total: dict = {"statuses": {}, "sent": {}, "errors": 0, "duration_us": 0, "p99_us": 0,
                   "segments": 0}
    answered, rate, deadline = 0, None, time.monotonic() + options.timeout
    while answered < options.requests and time.monotonic() < deadline:
        left = options.requests - answered
        # The first segment measures the rate.
        seconds = 5 if rate is None else max(1, min(30, round(left / rate * 1.05 + 0.5)))
        # One wrk thread keeps a one-process server busy.
        command = ["wrk", "-t1", "-c", str(options.connections), "-d", f"{seconds}s",
                   "--timeout", "10s", "-s", str(ROOT / "scripts" / "soak.lua"), base, "--",
                   str(left), str(mix_file)]
        wrk = subprocess.run(command, capture_output=True, text=True)
        line = next((l for l in wrk.stdout.splitlines() if l.startswith("SOAK ")), None)
        if wrk.returncode or line is None:
            print(wrk.stdout, wrk.stderr)
            return None
        report = json.loads(line[5:])
        for key in ("statuses", "sent"):
            for name, count in report[key].items():
                total[key][name] = total[key].get(name, 0) + count
        total["errors"] += report["errors"]
        total["duration_us"] += report["duration_us"]
        total["p99_us"] = max(total["p99_us"], report["p99_us"])
        total["segments"] += 1
        done = sum(report["statuses"].values())
        answered += done
        if done < left:  # a segment that ran its whole duration
            rate = max(done / seconds, 50.0)
    return total


def check_answers(report: dict, options: argparse.Namespace) -> bool:
    expected: dict[str, int] = {}
    for index, count in report["sent"].items():
        status = str(MIX[int(index) - 1][4])
        expected[status] = expected.get(status, 0) + count
    received = report["statuses"]
    seconds = report["duration_us"] / 1e6
    answered = sum(received.values())
    print(f"   {answered} responses in {seconds:.0f} s ({answered / seconds:.0f}/s, "
          f"p99 {report['p99_us'] / 1000:.1f} ms), statuses {dict(sorted(received.items()))}, "
          f"socket errors {report['errors']}, {report['segments']} wrk runs")
    # Requests in flight when a segment ended were sent and maybe not answered: one per
    # connection and segment.
    in_flight = options.connections * report["segments"]
    ok = (report["errors"] == 0
          and options.requests <= answered <= options.requests + options.connections
          and all(0 <= expected.get(s, 0) - received.get(s, 0) <= in_flight
                  for s in expected | received))
    if not ok:
        print(f"   FAILED: expected statuses {dict(sorted(expected.items()))}")
    return ok


def check_memory(samples: list[tuple[float, int]], options: argparse.Namespace) -> bool:
    times = [t - samples[0][0] for t, _ in samples]
    rss = [r for _, r in samples]
    half = len(samples) // 2
    slope = theil_sen(times[half:], rss[half:])
    growth = slope * (times[-1] - times[half])
    limit = max(options.max_growth_mib * MIB,
                options.max_growth_percent / 100 * statistics.median(rss[half:]))
    print(f"   memory: start {rss[0] / MIB:.1f} MiB, half {rss[half] / MIB:.1f}, "
          f"end {rss[-1] / MIB:.1f}, "
          f"peak {max(rss) / MIB:.1f}; second half fitted growth {growth / MIB:+.2f} MiB "
          f"(limit {limit / MIB:.2f}), {len(samples)} samples")
    if growth > limit:
        print("   FAILED: memory keeps growing")
        return False
    return True


def servers(options: argparse.Namespace) -> int:
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (make soak installs it)")
    WORK.mkdir(parents=True, exist_ok=True)
    mix_file = write_mix()
    results = [soak_server(kind, options, mix_file) for kind in options.servers.split(",")]
    return 0 if all(results) else 1


# --- refcount mode -------------------------------------------------------------------------------


def decoder_drift(body: bytes, calls: int = 2000) -> float:
    """What one JSON decoding of `body` adds to the total reference count by itself.

    msgspec's decoder raises the debug interpreter's total by about one per call for documents
    holding a string (and for some malformed ones) while allocating nothing: memory stays flat
    over millions of calls. The soak takes that known amount off its own count.
    """
    import msgspec

    def decode() -> None:
        try:
            msgspec.json.decode(body)
        except msgspec.DecodeError:
            pass

    decode()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(calls):
        decode()
    gc.collect()
    return round((sys.gettotalrefcount() - before) / calls)


def refcount(options: argparse.Namespace) -> int:
    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("the refcount soak needs the debug interpreter: make soak-refcount")
    sys.path[:0] = [str(ROOT), str(ROOT / "scripts")]
    from soak_app import app

    from tests import inprocess

    # Requests whose body the application decodes as JSON.
    drift = {i: decoder_drift(body)
             for i, (_, _, headers, body, _) in enumerate(MIX) if headers == JSON}
    per_round = sum(drift.get(index % len(MIX), 0) for index in range(options.per_round))
    print(f"== the JSON decoder adds {per_round} references per round by itself; "
          "they are not counted")

    async def one_round() -> None:
        for index in range(options.per_round):
            method, target, headers, body, expected = MIX[index % len(MIX)]
            path, _, query = target.partition(b"?")
            length = str(len(body)).encode()
            headers = [(b"host", b"soak")] + headers + [(b"content-length", length)]
            drive = inprocess.asgi if index % 2 else inprocess.rsgi
            status, _, _ = await drive(app, method, path, query, headers, body)
            assert status == expected, (method, target, status)

    loop = asyncio.new_event_loop()
    counts = []
    for round_index in range(options.warmup + options.rounds):
        loop.run_until_complete(one_round())
        gc.collect()
        corrected = sys.gettotalrefcount() - per_round * (round_index + 1)
        counts.append((corrected, sys.getallocatedblocks()))
        print(f"   round {round_index + 1}: total refcount {counts[-1][0]} (corrected), "
              f"blocks {counts[-1][1]}", flush=True)
    loop.close()
    measured = counts[options.warmup:]
    refs = [c for c, _ in measured]
    slope = theil_sen(list(range(len(refs))), refs) / options.per_round
    print(f"== {options.rounds} rounds of {options.per_round} requests after {options.warmup} "
          f"warm-up rounds: refcount {refs[0]} -> {refs[-1]} ({refs[-1] - refs[0]:+d}), "
          f"drift {slope:+.4f} per request; "
          f"blocks {measured[0][1]} -> {measured[-1][1]} ({measured[-1][1] - measured[0][1]:+d})")
    if slope > options.max_drift:
        print("   FAILED: the total reference count keeps growing")
        return 1
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    modes = parser.add_subparsers(dest="mode", required=True)
    run = modes.add_parser("servers")
    run.add_argument("--requests", type=int, default=1_000_000)
    run.add_argument("--servers", default="uvicorn,granian-rsgi")
    run.add_argument("--connections", type=int, default=8)
    run.add_argument("--interval", type=float, default=0.5, help="seconds between memory samples")
    run.add_argument("--timeout", type=float, default=4 * 3600, help="seconds per server at most")
    run.add_argument("--max-growth-mib", type=float, default=2.0)
    run.add_argument("--max-growth-percent", type=float, default=3.0)
    run.set_defaults(run=servers)
    rounds = modes.add_parser("refcount")
    rounds.add_argument("--rounds", type=int, default=20)
    rounds.add_argument("--warmup", type=int, default=5)
    rounds.add_argument("--per-round", type=int, default=5000)
    rounds.add_argument("--max-drift", type=float, default=0.01)
    rounds.set_defaults(run=refcount)
    options = parser.parse_args()
    return options.run(options)


if __name__ == "__main__":
    sys.exit(main())
