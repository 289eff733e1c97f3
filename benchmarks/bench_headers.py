"""Header collection: quenmark's Headers against multidict's CIMultiDict and Starlette's Headers.

Each library is used the way an ASGI application would use it on a 12-pair request header
list: build the collection, read one value of a present and of a missing name, read every value
of a repeated name, replace a value, test membership. Prints the median ns per operation and
the ratios (below 1.0 means quenmark is faster). Headers scans its list, so its lookups cost
more the later the name sits (a missing name scans all twelve); the multidict hashes.

    .venv/bin/python benchmarks/bench_headers.py [--rounds N]
"""

import argparse
import statistics
import timeit

from multidict import CIMultiDict
from starlette.datastructures import Headers as StarletteHeaders
from starlette.datastructures import MutableHeaders as StarletteMutableHeaders

from quenmark.headers import Headers

RAW = [
    (b"host", b"example.com"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/133.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=abc123; theme=dark"),
    (b"content-type", b"application/json"),
    (b"content-length", b"348"),
    (b"x-forwarded-for", b"203.0.113.7"),
    (b"cookie", b"tracking=off"),
    (b"cache-control", b"no-cache"),
]
# CIMultiDict takes text; the decoding a server adapter would do is left out of its timings.
RAW_TEXT = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in RAW]

# name -> (quenmark statement, multidict statement, starlette statement)
CASES = {
    "build from 12 pairs": (
        "Headers(list(RAW))",
        "CIMultiDict(RAW_TEXT)",
        "StarletteHeaders(raw=list(RAW))",
    ),
    "get_first, 1st of 12": (
        "qm.get_first(b'host')",
        "md.getone('host')",
        "st.get('host')",
    ),
    "get_first, 8th of 12": (
        "qm.get_first(b'content-type')",
        "md.getone('content-type')",
        "st.get('content-type')",
    ),
    "get_first, missing": (
        "qm.get_first(b'x-missing')",
        "md.get('x-missing')",
        "st.get('x-missing')",
    ),
    "get (all values)": (
        "qm.get(b'cookie')",
        "md.getall('cookie')",
        "st.getlist('cookie')",
    ),
    "set": (
        "qm_m.set(b'content-type', b'text/plain')",
        "md_m['content-type'] = 'text/plain'",
        "st_m['content-type'] = 'text/plain'",
    ),
    "contains": (
        "b'content-type' in qm",
        "'content-type' in md",
        "'content-type' in st",
    ),
}


def namespace():
    return {
        "Headers": Headers,
        "CIMultiDict": CIMultiDict,
        "StarletteHeaders": StarletteHeaders,
        "RAW": RAW,
        "RAW_TEXT": RAW_TEXT,
        "qm": Headers(list(RAW)),
        "md": CIMultiDict(RAW_TEXT),
        "st": StarletteHeaders(raw=list(RAW)),
        "qm_m": Headers(list(RAW)),
        "md_m": CIMultiDict(RAW_TEXT),
        "st_m": StarletteMutableHeaders(raw=list(RAW)),
    }


def loops_for(timer):
    number, _ = timer.autorange()  # enough loops for about 0.2 s
    return max(1, number // 20)  # rounds of about 10 ms


def medians_ns(stmts, rounds):
    """Median ns per operation of each statement, timed in interleaved rounds so that load from
    other processes falls on all of them alike."""
    timers = [timeit.Timer(stmt, globals=namespace()) for stmt in stmts]
    numbers = [loops_for(t) for t in timers]
    samples = [[] for _ in stmts]
    for _ in range(rounds):
        for timer, number, out in zip(timers, numbers, samples, strict=True):
            out.append(timer.timeit(number) / number * 1e9)
    return [statistics.median(s) for s in samples]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="timing rounds per case (median)")
    args = parser.parse_args(argv)

    print(f"{'operation':22} {'quenmark':>10} {'multidict':>10} {'starlette':>10}"
          f" {'qm/md':>7} {'qm/st':>7}")
    for name, stmts in CASES.items():
        q, m, s = medians_ns(stmts, args.rounds)
        print(f"{name:22} {q:8.1f}ns {m:8.1f}ns {s:8.1f}ns {q / m:7.2f} {q / s:7.2f}")


if __name__ == "__main__":
    main()
