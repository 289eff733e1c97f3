"""Profiles of a server's processes while wrk loads them: Linux perf or py-spy.

perf samples the CPU clock of the server's processes (it works in virtual machines without
hardware counters) and names the interpreter's Python frames through its perf support
(PYTHONPERFSUPPORT=1, see `env_for`). Each sample stands for 1/`PERF_HZ` s of CPU time, so with
the number of requests served meanwhile a profile tells how many µs of CPU each shared object (the
interpreter, quenmark's modules, the event loop, the kernel...) and each function spend per
request, and two profiles (an app and the raw app) tell where the difference goes.

py-spy samples the Python stacks and gives each Python function's share with what it calls
(inclusive) and alone (self); a call into native code counts for the Python function making it.
"""

from __future__ import annotations

import collections
import contextlib
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

PROFILERS = ("perf", "py-spy")
PERF_HZ = 999


def env_for(profiler: str | None) -> dict[str, str]:
    return {"PYTHONPERFSUPPORT": "1"} if profiler == "perf" else {}


def record(profiler: str, pids: list[int], seconds: int, output: Path) -> subprocess.Popen:
    """Starts recording the processes for `seconds`; wait for it, then read `output`."""
    if profiler == "perf":
        command = ["perf", "record", "-F", str(PERF_HZ), "-e", "cpu-clock", "-o", str(output),
                   "-p", ",".join(map(str, pids)), "--", "sleep", str(seconds)]
    else:
        beside = Path(sys.executable).parent / "py-spy"
        command = [str(beside) if beside.exists() else "py-spy", "record", "--nonblocking",
                   "--rate", "500", "--format", "raw", "--duration", str(seconds),
                   "--output", str(output), "--pid", str(pids[0]), "--subprocesses"]
    if shutil.which(command[0]) is None:
        raise RuntimeError(f"{command[0]} is not installed")
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


# ---------------------------------------------------------------------------------------------
# perf


@dataclass
class PerfProfile:
    samples: collections.Counter[tuple[str, str]]  # by (shared object, symbol)
    requests: float  # served while recording

    @classmethod
    def read(cls, data: Path, pids: list[int], requests: float) -> PerfProfile:
        try:
            result = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children",
                                     "-n", "-g", "none", "--sort", "dso,sym", "-t", "\t"],
                                    capture_output=True, text=True, check=True)
        finally:
            # The interpreters wrote their Python frames' names to /tmp/perf-PID.map for this.
            for pid in pids:
                with contextlib.suppress(OSError):
                    Path(f"/tmp/perf-{pid}.map").unlink()
        samples: collections.Counter[tuple[str, str]] = collections.Counter()
        for line in result.stdout.splitlines():
            fields = [f.strip() for f in line.split("\t")]
            if line.startswith("#") or len(fields) != 4 or not fields[1].isdigit():
                continue
            samples[(fields[2], _symbol(fields[3]))] += int(fields[1])
        return cls(samples, requests)

    def cost_us(self, samples: int) -> float:
        """CPU µs per request that `samples` stand for."""
        return samples / PERF_HZ / self.requests * 1e6

    def by_dso(self) -> collections.Counter[str]:
        counts: collections.Counter[str] = collections.Counter()
        for (dso, _), n in self.samples.items():
            counts[dso] += n
        return counts


def _symbol(symbol: str) -> str:
    # "[.] py::name:/long/path/site-packages/pkg/file.py" -> "py::name (pkg/file.py)"
    symbol = re.sub(r"^\[.\] ", "", symbol)
    return re.sub(r"^py::(\S+?):\S*?/(?:site-packages|src)/(\S+)$", r"py::\1 (\2)", symbol)


def perf_report(profile: PerfProfile, top: int, raw: PerfProfile | None = None) -> str:
    """CPU µs per request by shared object and by symbol; beside the raw app's when given."""
    total = sum(profile.samples.values())
    lines = [f"perf: {total} samples of CPU time, {profile.cost_us(total):.1f} µs of CPU per request"
             + (f" (raw: {raw.cost_us(sum(raw.samples.values())):.1f} µs)" if raw else "")]
    for title, own, other in (("by shared object", profile.by_dso(), raw and raw.by_dso()),
                              ("by symbol", profile.samples, raw and raw.samples)):
        lines += ["", f"µs of CPU per request {title} (self time)" +
                  (", sorted by the difference to raw:" if raw else ":")]
        if raw is None:
            for key, n in own.most_common(top):
                lines.append(f"{profile.cost_us(n):8.2f}  {_label(key)}")
            continue
        lines.append(f"{'app':>8} {'raw':>8} {'diff':>8}")
        keys = set(own) | set(other)
        differences = {k: profile.cost_us(own.get(k, 0)) - raw.cost_us(other.get(k, 0)) for k in keys}
        for key in sorted(keys, key=lambda k: -abs(differences[k]))[:top]:
            lines.append(f"{profile.cost_us(own.get(key, 0)):8.2f} {raw.cost_us(other.get(key, 0)):8.2f} "
                         f"{differences[key]:+8.2f}  {_label(key)}")
    return "\n".join(lines) + "\n"


def _label(key: str | tuple[str, str]) -> str:
    return key if isinstance(key, str) else f"{key[1]}  [{key[0]}]"


# ---------------------------------------------------------------------------------------------
# py-spy


def py_spy_report(data: Path, top: int) -> str:
    inclusive: collections.Counter[str] = collections.Counter()
    own: collections.Counter[str] = collections.Counter()
    total = 0
    for line in data.read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        # With --subprocesses a stack starts with its processes: 'process 123:"command line";...'.
        stack = re.sub(r'^(?:process \d+:".*?"(?:;|$))+', "", stack)
        if not stack or not count.isdigit():
            continue
        frames = [_frame(f) for f in stack.split(";")]
        total += int(count)
        own[frames[-1]] += int(count)
        for frame in set(frames):
            inclusive[frame] += int(count)
    if not total:
        return "py-spy: no samples\n"
    lines = [f"py-spy: {total} samples of Python stacks (idle time left out)", "", "inclusive:"]
    lines += [f"{100 * n / total:6.1f}%  {f}" for f, n in inclusive.most_common(top)]
    lines += ["", "self (with the native code it calls):"]
    lines += [f"{100 * n / total:6.1f}%  {f}" for f, n in own.most_common(top)]
    return "\n".join(lines) + "\n"


def _frame(frame: str) -> str:
    # "name (path/to/file.py:123)" -> "name (package/file.py)": lines of one function are one entry.
    name, _, where = frame.partition(" (")
    where = re.sub(r":\d+\)$", "", where)
    where = re.sub(r"^.*?/(?:site-packages|src)/", "", where)
    return f"{name} ({where.rstrip(')')})"
