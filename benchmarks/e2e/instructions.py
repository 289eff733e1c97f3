"""Instructions per request under a real server, counted by callgrind: a figure that does not move
with the machine's load, for seeing where a server's time goes per request and what a change
saves end to end.

Each app is served by the server under `valgrind --tool=callgrind` and sent a few hundred
requests over one keep-alive connection, then as many again plus `--requests`; the difference of
the two runs' counts, divided by `--requests`, is the cost of one request in the whole server
process (parsing, the event loop, the app, the writes), start-up and warm-up left out. The table
gives each app's count and its difference to the raw app; `--top N` lists the functions whose own
instructions differ most from the raw app's, per request.

    .venv/bin/python benchmarks/e2e/instructions.py [--apps raw,quenmark] [--servers uvicorn]
        [--endpoints text,param] [--requests 2000] [--top 25]
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness import APPS, ENDPOINTS, RAW, SERVERS, Endpoint, free_port, skip_reason

WARM_UP = 200


def send_requests(port: int, endpoint: Endpoint, count: int, timeout: float = 120.0) -> None:
    """`count` requests one after the other over one connection, each answer read whole."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)
    head = f"{endpoint.method} {endpoint.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if endpoint.body:
        head += f"Content-Type: application/json\r\nContent-Length: {len(endpoint.body)}\r\n"
    message = head.encode() + b"\r\n" + endpoint.body
    with sock:
        for _ in range(count):
            sock.sendall(message)
            data = b""
            while b"\r\n\r\n" not in data:
                data += sock.recv(65536)
            head_bytes, _, body = data.partition(b"\r\n\r\n")
            status = head_bytes.split(b" ", 2)[1]
            if status != b"200":
                raise RuntimeError(f"{endpoint.method} {endpoint.path} answered {status.decode()}")
            length = int(re.search(rb"(?i)\r\ncontent-length: *(\d+)", head_bytes).group(1))
            while len(body) < length:
                body += sock.recv(65536)


def counted_run(command: list[str], endpoint: Endpoint, port: int, count: int, out: Path) -> list[Path]:
    """Serves `count` requests under callgrind; the profiles of the server's processes."""
    out.mkdir(parents=True)
    traced = ["valgrind", "--tool=callgrind", "--trace-children=yes",
              f"--callgrind-out-file={out}/cg.%p"] + command
    # A fixed hash seed: string hashing decides dict probes, which would otherwise move the count.
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    server = subprocess.Popen(traced, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        send_requests(port, endpoint, count)
    finally:
        server.send_signal(2)
        try:
            server.wait(timeout=120)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    return sorted(out.glob("cg.*"))


def self_costs(profiles: list[Path]) -> collections.Counter[str]:
    """Instructions by function (own cost), summed over the profiles."""
    costs: collections.Counter[str] = collections.Counter()
    for profile in profiles:
        # --auto=no: with debug info, source annotation would add its own cost lines.
        report = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", str(profile)],
                                capture_output=True, text=True, check=True).stdout
        for line in report.splitlines():
            match = re.match(r"\s*([\d,]+) \([^)]*\)\s+(\S.*)", line)
            if match and "PROGRAM TOTALS" not in line:
                name = re.sub(r" \[[^\]]*\]$", "", match.group(2)).replace("'2", "")
                costs[name.split(":", 1)[-1]] += int(match.group(1).replace(",", ""))
    return costs


def per_request(command_of, endpoint: Endpoint, requests: int, scratch: Path) -> dict[str, float]:
    runs = []
    for count in (WARM_UP, WARM_UP + requests):
        port = free_port()
        runs.append(self_costs(counted_run(command_of(port), endpoint, port, count,
                                           scratch / f"{count}-{port}")))
    short, long = runs
    return {name: (long[name] - short.get(name, 0)) / requests for name in long}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--apps", default="raw,quenmark,falcon,starlette")
    parser.add_argument("--servers", default="uvicorn")
    parser.add_argument("--endpoints", default="text,param,echo-1k")
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--top", type=int, default=0, help="functions to list against raw")
    args = parser.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is needed (Debian: apt-get install valgrind)")
    apps = [APPS[a] for a in args.apps.split(",")]
    if apps[0].name != RAW:
        apps.insert(0, APPS[RAW])
    with tempfile.TemporaryDirectory(prefix="qm-instructions-") as scratch:
        for server in (SERVERS[s] for s in args.servers.split(",")):
            print(f"== {server.title}: instructions per request, whole server process")
            for endpoint in (ENDPOINTS[e] for e in args.endpoints.split(",")):
                found: dict[str, dict[str, float]] = {}
                for app in apps:
                    if skip_reason(app, server):
                        continue
                    module = app.module(server.interface)
                    found[app.name] = per_request(
                        lambda port, m=module: server.command(m, port), endpoint, args.requests,
                        Path(scratch) / f"{server.name}-{endpoint.name}-{app.name}")
                raw = sum(found[RAW].values())
                cells = "  ".join(f"{name} {sum(c.values()):>9,.0f} ({sum(c.values()) - raw:+,.0f})"
                                  for name, c in found.items())
                print(f"{endpoint.name:<9} {cells}", flush=True)
                for name, costs in found.items():
                    if name == RAW or not args.top:
                        continue
                    names = set(costs) | set(found[RAW])
                    rows = sorted(names, key=lambda n: -(costs.get(n, 0) - found[RAW].get(n, 0)))
                    print(f"   {name} against raw, own instructions per request:")
                    for n in rows[: args.top]:
                        mine, theirs = costs.get(n, 0), found[RAW].get(n, 0)
                        print(f"   {mine:8.0f} {theirs:8.0f} {mine - theirs:+8.0f}  {n[:100]}")


if __name__ == "__main__":
    main()
