"""The results of a run as a table (text) and as a chart (PNG)."""

from __future__ import annotations

import statistics
from dataclasses import dataclass, field

from harness import APPS, ENDPOINTS, RAW, SERVERS, Sample, overhead_us, skip_reason

# One colour per app, the same in every panel; raw is grey, quenmark stands out.
COLOURS = {"raw": "#9e9e9e", "quenmark": "#d62728", "starlette": "#1f77b4",
           "litestar": "#2ca02c", "falcon": "#ff7f0e"}


@dataclass
class Results:
    """Samples by (server, app, endpoint): rate (req/s), p99 latency and CPU per request (µs)."""

    meta: dict
    samples: dict[tuple[str, str, str], list[dict]] = field(default_factory=dict)

    def add(self, server: str, app: str, endpoint: str, sample: Sample) -> None:
        self.samples.setdefault((server, app, endpoint), []).append(
            {"rate": sample.rate, "p99": sample.p99_us, "cpu": sample.cpu_us})

    def median(self, figure: str, server: str, app: str, endpoint: str) -> float | None:
        samples = self.samples.get((server, app, endpoint))
        return statistics.median(s[figure] for s in samples) if samples else None

    def rate(self, server: str, app: str, endpoint: str) -> float | None:
        """Requests per second."""
        return self.median("rate", server, app, endpoint)

    def p99(self, server: str, app: str, endpoint: str) -> float | None:
        """The 99th percentile of latency, µs."""
        return self.median("p99", server, app, endpoint)

    def cpu(self, server: str, app: str, endpoint: str) -> float | None:
        """The server's CPU time per request, µs."""
        return self.median("cpu", server, app, endpoint)

    def servers(self) -> list[str]:
        return [s for s in SERVERS if any(key[0] == s for key in self.samples)]

    def apps(self) -> list[str]:
        return [a for a in APPS if any(key[1] == a for key in self.samples)]

    def endpoints(self) -> list[str]:
        return [e for e in ENDPOINTS if any(key[2] == e for key in self.samples)]

    def to_json(self) -> dict:
        return {"meta": self.meta,
                "samples": [{"server": s, "app": a, "endpoint": e, "runs": runs}
                            for (s, a, e), runs in self.samples.items()]}

    @classmethod
    def from_json(cls, data: dict) -> Results:
        results = cls(data["meta"])
        for cell in data["samples"]:
            results.samples[(cell["server"], cell["app"], cell["endpoint"])] = cell["runs"]
        return results


def header(meta: dict) -> list[str]:
    return [
        f"quenmark end-to-end benchmark, {meta['date']}, commit {meta['commit']}",
        f"machine: {meta['cpu']}, {meta['cores']} cores; load average (1, 5, 15 min) "
        f"before {meta['load_before']}, after {meta.get('load_after', '?')}",
        f"{meta['python']}; {meta['versions']}",
        f"wrk -t{meta['threads']} -c{meta['connections']}, {meta['rounds']} round(s) of "
        f"{meta['duration']} s per cell after {meta['warmup']} s of warm-up; one server worker; "
        f"medians over rounds",
        "ratios are to the raw app under the same server (raw ASGI app under uvicorn and granian "
        "ASGI, raw RSGI app under granian RSGI); compare ratios, not absolute figures",
        "CPU µs/req: CPU time of the server's processes per request, which depends less than the "
        "rate on what else the machine runs",
    ]


def table(results: Results) -> str:
    endpoints = results.endpoints()
    lines = header(results.meta)
    width = 18
    for server_name in results.servers():
        server = SERVERS[server_name]
        apps = [a for a in results.apps() if not skip_reason(APPS[a], server)]
        skipped = [a for a in results.apps() if a not in apps]
        lines += ["", f"== {server.title}", ""]
        lines.append("requests/s".ljust(10) + "".join(a.rjust(width) for a in apps))
        for endpoint in endpoints:
            raw = results.rate(server_name, RAW, endpoint)
            lines.append(endpoint.ljust(10) + "".join(
                _cell(results.rate(server_name, app, endpoint), raw, "{:,.0f}", width) for app in apps))
        lines += ["", "p99 ms".ljust(10) + "".join(a.rjust(width) for a in apps)]
        for endpoint in endpoints:
            raw = _in_ms(results.p99(server_name, RAW, endpoint))
            lines.append(endpoint.ljust(10) + "".join(
                _cell(_in_ms(results.p99(server_name, app, endpoint)), raw, "{:,.2f}", width)
                for app in apps))
        lines += ["", "CPU µs/req".ljust(10) + "".join(a.rjust(width) for a in apps)]
        for endpoint in endpoints:
            raw = results.cpu(server_name, RAW, endpoint)
            lines.append(endpoint.ljust(10) + "".join(
                _cell(results.cpu(server_name, app, endpoint), raw, "{:,.1f}", width) for app in apps))
        others = [a for a in apps if a != RAW]
        if others:
            lines += ["", "µs/request above raw: by rate (1/rate − 1/raw rate) | by server CPU time",
                      "".ljust(10) + "".join(a.rjust(width) for a in others)]
            for endpoint in endpoints:
                lines.append(endpoint.ljust(10) + "".join(
                    _above_raw(results, server_name, app, endpoint).rjust(width) for app in others))
        if skipped:
            lines += ["", "not run: " + "; ".join(skip_reason(APPS[a], server) for a in skipped)]
    return "\n".join(lines) + "\n"


def _above_raw(results: Results, server: str, app: str, endpoint: str) -> str:
    rate, raw_rate = results.rate(server, app, endpoint), results.rate(server, RAW, endpoint)
    cpu, raw_cpu = results.cpu(server, app, endpoint), results.cpu(server, RAW, endpoint)
    if None in (rate, raw_rate, cpu, raw_cpu):
        return "—"
    return f"{overhead_us(rate, raw_rate):+.1f} | {cpu - raw_cpu:+.1f}"


def _in_ms(microseconds: float | None) -> float | None:
    return None if microseconds is None else microseconds / 1000


def _cell(value: float | None, raw: float | None, fmt: str, width: int) -> str:
    if value is None:
        return "—".rjust(width)
    if raw is None:
        return fmt.format(value).rjust(width)
    return f"{fmt.format(value)} {value / raw:5.2f}×".rjust(width)


def chart(results: Results, path: str) -> None:
    """Per server, requests/s, p99 latency and CPU time per request of every app as a ratio to
    the raw app's."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, NullLocator

    servers, endpoints = results.servers(), results.endpoints()
    served = {s: [a for a in results.apps() if not skip_reason(APPS[a], SERVERS[s])] for s in servers}
    widths = [len(endpoints) * max(4, len(served[s]) + 1) for s in servers]
    rows = ((results.rate, "requests/s ÷ raw\n(higher is better)"),
            (results.p99, "p99 latency ÷ raw\n(lower is better; log scale)"),
            (results.cpu, "server CPU time per request ÷ raw\n(lower is better)"))
    figure, axes = plt.subplots(len(rows), len(servers), figsize=(max(12.0, 2 + 0.2 * sum(widths)), 12.0),
                                squeeze=False, sharey="row", gridspec_kw={"width_ratios": widths})
    for column, server_name in enumerate(servers):
        server, apps = SERVERS[server_name], served[server_name]
        bar = 0.8 / len(apps)
        for row, (measure, label) in enumerate(rows):
            axis = axes[row][column]
            for index, app in enumerate(apps):
                xs, ys, notes = [], [], []
                for position, endpoint in enumerate(endpoints):
                    value, raw = measure(server_name, app, endpoint), measure(server_name, RAW, endpoint)
                    if value is None or raw is None:
                        continue
                    xs.append(position + (index - (len(apps) - 1) / 2) * bar)
                    ys.append(value / raw)
                    if app == "quenmark" and row == 0:
                        notes.append(f"{overhead_us(value, raw):+.1f} µs")
                    elif app == "quenmark" and row == 2:
                        notes.append(f"{value - raw:+.1f} µs")
                bars = axis.bar(xs, ys, bar * 0.95, label=app, color=COLOURS.get(app), zorder=2)
                for rect, note in zip(bars, notes):
                    axis.annotate(note, (rect.get_x() + rect.get_width() / 2, rect.get_height()),
                                  xytext=(0, 3), textcoords="offset points", ha="center",
                                  va="bottom", fontsize=7.5, rotation=90, color=COLOURS["quenmark"])
            axis.axhline(1.0, color="#555555", linewidth=0.8, zorder=1)
            axis.grid(axis="y", color="#e0e0e0", zorder=0)
            axis.set_xticks(range(len(endpoints)))
            axis.set_xlim(-0.5, len(endpoints) - 0.5)
            if row == 0:
                skipped = [a for a in results.apps() if a not in apps]
                axis.set_title(server.title + ("\n(not run, ASGI only: " + ", ".join(skipped) + ")"
                                               if skipped else "\n"), fontsize=10)
                axis.set_xticklabels([f"{e}\nraw {_short(results.rate(server_name, RAW, e))}/s"
                                      for e in endpoints], fontsize=8)
            elif row == 1:
                axis.set_yscale("log", base=2)
                axis.set_xticklabels([f"{e}\nraw {_ms(results.p99(server_name, RAW, e))}"
                                      for e in endpoints], fontsize=8)
            else:
                axis.set_xticklabels([f"{e}\nraw {_us(results.cpu(server_name, RAW, e))}"
                                      for e in endpoints], fontsize=8)
            if column == 0:
                axis.set_ylabel(label)
    for row in (0, 2):
        top = max(axis.get_ylim()[1] for axis in axes[row])
        axes[row][0].set_ylim(0, max(1.3, top * 1.12))
    low, high = axes[1][0].get_ylim()
    ticks = [t for t in (0.25, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8, 12, 16, 32) if low <= t <= high]
    axes[1][0].yaxis.set_major_locator(FixedLocator(ticks))
    axes[1][0].yaxis.set_minor_locator(NullLocator())
    axes[1][0].set_yticklabels([f"{t:g}×" for t in ticks])
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper right", ncol=len(labels), fontsize=9, frameon=False)
    meta = results.meta
    figure.suptitle(f"quenmark end-to-end: each app as a ratio to the raw app of the same server; "
                    f"figures over quenmark's bars: its cost per request above raw, µs\n{meta['cpu']}, "
                    f"{meta['cores']} cores, load average {meta['load_before']} → "
                    f"{meta.get('load_after', '?')}; wrk -t{meta['threads']} -c{meta['connections']}, "
                    f"{meta['rounds']} × {meta['duration']} s per cell, medians; {meta['date']}, "
                    f"{meta['commit']}", x=0.01, ha="left", fontsize=9)
    figure.tight_layout(rect=(0, 0, 1, 0.95))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def _short(rate: float | None) -> str:
    if rate is None:
        return "—"
    return f"{rate / 1000:.1f}k" if rate >= 1000 else f"{rate:.0f}"


def _us(cpu_us: float | None) -> str:
    return "—" if cpu_us is None else f"{cpu_us:.1f} µs"


def _ms(p99_us: float | None) -> str:
    return "—" if p99_us is None else f"{p99_us / 1000:.1f} ms"
