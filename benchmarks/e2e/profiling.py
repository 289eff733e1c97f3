"""Profiles of a server's processes while wrk loads them: Linux perf or py-spy.

perf samples the CPU clock (it works in virtual machines without hardware counters) and names
the interpreter's Python frames through its perf support (`-X perf`, turned on for the server by
PYTHONPERFSUPPORT=1, see `PERF_ENV`); its report gives the share of each shared object (the
interpreter, quenmark's modules, the event loop, the kernel...) and of each symbol, counting
where the CPU was (self time). py-spy samples the Python stacks and reports each function's share
with what it calls (inclusive) and alone (self).
"""

from __future__ import annotations

import collections
import contextlib
import re
import shutil
import subprocess
from pathlib import Path

PERF_ENV = {"PYTHONPERFSUPPORT": "1"}
PROFILERS = ("perf", "py-spy")


def env_for(profiler: str | None) -> dict[str, str]:
    return PERF_ENV if profiler == "perf" else {}


def record(profiler: str, pids: list[int], seconds: int, output: Path) -> subprocess.Popen:
    """Starts recording the processes for `seconds`; wait on the result, then call `report`."""
    if profiler == "perf":
        command = ["perf", "record", "-F", "999", "-e", "cpu-clock", "-g", "-o", str(output),
                   "-p", ",".join(map(str, pids)), "--", "sleep", str(seconds)]
    else:
        command = [_py_spy(), "record", "--nonblocking", "--rate", "500", "--format", "raw",
                   "--duration", str(seconds), "--output", str(output), "--pid", str(pids[0]),
                   "--subprocesses"]
    if shutil.which(command[0]) is None:
        raise RuntimeError(f"{command[0]} is not installed")
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def report(profiler: str, output: Path, pids: list[int], top: int) -> str:
    return _perf_report(output, pids, top) if profiler == "perf" else _py_spy_report(output, top)


def _py_spy() -> str:
    beside = Path(__import__("sys").executable).parent / "py-spy"
    return str(beside) if beside.exists() else "py-spy"


def _perf_report(data: Path, pids: list[int], top: int) -> str:
    try:
        sections = []
        for title, sort in (("by shared object (self)", "dso"), ("by symbol (self)", "dso,sym")):
            result = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children",
                                     "-g", "none", "--sort", sort, "--percent-limit", "0.3"],
                                    capture_output=True, text=True)
            rows = [_tidy(line) for line in result.stdout.splitlines()
                    if line.strip() and not line.startswith("#")]
            sections.append(f"perf, {title}:\n" + "\n".join(rows[:top]))
        return "\n\n".join(sections) + "\n"
    finally:
        # The interpreters wrote their Python frames' names to /tmp/perf-PID.map for this report.
        for pid in pids:
            with contextlib.suppress(OSError):
                Path(f"/tmp/perf-{pid}.map").unlink()


def _tidy(line: str) -> str:
    # Python frames read "py::name:/long/path/file.py"; keep the package-relative path.
    line = re.sub(r"py::(\S+?):\S*?/(?:site-packages|src)/(\S+)", r"py::\1 (\2)", line)
    return re.sub(r"\s{3,}", "  ", line.rstrip())


def _py_spy_report(data: Path, top: int) -> str:
    inclusive: collections.Counter[str] = collections.Counter()
    own: collections.Counter[str] = collections.Counter()
    total = 0
    for line in data.read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        # With --subprocesses a stack starts with its process: 'process 123:"command line"'.
        stack = re.sub(r'^process \d+:".*?"(?:;|$)', "", stack)
        if not stack or not count.isdigit():
            continue
        frames = [_frame(f) for f in stack.split(";")]
        total += int(count)
        own[frames[-1]] += int(count)
        for frame in set(frames):
            inclusive[frame] += int(count)
    if not total:
        return "py-spy: no samples\n"
    lines = [f"py-spy, {total} samples of Python stacks (idle time left out; a call into "
             "native code counts for the Python function that makes it)", "", "inclusive:"]
    lines += [f"{100 * n / total:6.1f}%  {f}" for f, n in inclusive.most_common(top)]
    lines += ["", "self:"]
    lines += [f"{100 * n / total:6.1f}%  {f}" for f, n in own.most_common(top)]
    return "\n".join(lines) + "\n"


def _frame(frame: str) -> str:
    # "name (path/to/file.py:123)" -> "name (package/file.py)": lines of one function are one entry.
    name, _, where = frame.partition(" (")
    where = re.sub(r":\d+\)$", "", where)
    where = re.sub(r"^.*?/(?:site-packages|src)/", "", where)
    return f"{name} ({where.rstrip(')')})"
