"""Forms and pools: quenmark's Request.form() against Starlette's request.form(), pooled requests
against new ones, and the memory a large upload costs while it streams through form().

1. One multipart body (5 text fields and a 2 MB file) is fed to both frameworks through an ASGI
   receive channel in 64 KiB chunks; each side parses the whole form and then releases its
   files, interleaved round by round. Target: quenmark at least 2x faster.
2. acquire_request + release_request against Request.incoming (and dropping the request) for a
   12-header request, one at a time and with 500 requests in flight at once.
3. A 100 MB file part streams through form() (in a fresh process); the resident memory is
   sampled at every chunk. Target: growth under 5 MB.

    .venv/bin/python benchmarks/bench_forms.py [--rounds N]
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import time

import bench_messages

BOUNDARY = b"----------------quenmarkbenchforms0c4e7a"
CHUNK_SIZE = 64 * 1024
FILE_SIZE = 2 * 1000 * 1000
UPLOAD_SIZE = 100 * 1000 * 1000
CONTENT_TYPE = b"multipart/form-data; boundary=" + BOUNDARY
# The 12-header request of bench_messages, with a multipart Content-Type for its last header.
HEADERS = bench_messages.HEADERS[:11] + [(b"content-type", CONTENT_TYPE)]
assert len(HEADERS) == 12


def field(name: bytes, value: bytes) -> bytes:
    return (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\n\r\n'
            + value + b"\r\n")


def file_head() -> bytes:
    return (b"--" + BOUNDARY + b"\r\n"
            b'Content-Disposition: form-data; name="upload"; filename="data.bin"\r\n'
            b"Content-Type: application/octet-stream\r\n\r\n")


TAIL = b"\r\n--" + BOUNDARY + b"--\r\n"


def form_body() -> bytes:
    fields = b"".join(field(b"field%d" % i, b"value number %d" % i) for i in range(5))
    return fields + file_head() + os.urandom(FILE_SIZE) + TAIL


def receive_from(chunks: list[bytes]):
    position = 0

    async def receive():
        nonlocal position
        if position == len(chunks):
            return {"type": "http.disconnect"}
        position += 1
        return {"type": "http.request", "body": chunks[position - 1],
                "more_body": position < len(chunks)}

    return receive


def scope() -> dict:
    return {"type": "http", "method": "POST", "path": "/upload", "raw_path": b"/upload",
            "query_string": b"", "headers": HEADERS, "scheme": "http", "root_path": ""}


async def quenmark_form(chunks: list[bytes]) -> int:
    from quenmark.contents import ASGIContent
    from quenmark.messages import acquire_request, release_request

    request = acquire_request("POST", b"/upload", b"", HEADERS, scope())
    request.content = ASGIContent(receive_from(chunks))
    form = await request.form()
    size = form["upload"].size + sum(len(form["field%d" % i]) for i in range(5))
    release_request(request)  # closes the spooled files
    return size


async def starlette_form(chunks: list[bytes]) -> int:
    from starlette.requests import Request

    request = Request(scope(), receive_from(chunks))
    form = await request.form()
    size = form["upload"].size + sum(len(form["field%d" % i]) for i in range(5))
    await form.close()
    return size


def compare_forms(rounds: int) -> None:
    body = form_body()
    chunks = [body[i : i + CHUNK_SIZE] for i in range(0, len(body), CHUNK_SIZE)]
    expected = FILE_SIZE + sum(len(b"value number %d" % i) for i in range(5))
    runners = {"quenmark": quenmark_form, "starlette": starlette_form}
    times: dict[str, list[float]] = {name: [] for name in runners}
    with asyncio.Runner() as runner:
        for _ in range(rounds + 1):
            for name, fn in runners.items():
                start = time.perf_counter()
                size = runner.run(fn(chunks))
                times[name].append(time.perf_counter() - start)
                if size != expected:
                    sys.exit(f"{name} parsed {size} bytes, expected {expected}")
    for values in times.values():
        del values[0]  # warm-up
    print(f"form(): 5 fields and a 2 MB file in 64 KiB chunks, median of {rounds} rounds")
    for name, values in times.items():
        print(f"  {name:<10} {statistics.median(values) * 1000:8.2f} ms")
    ratios = [s / q for q, s in zip(times["quenmark"], times["starlette"])]
    print(f"  speed-up   {statistics.median(ratios):8.2f}x (median of per-round ratios; target 2x)")


def compare_pools(rounds: int, number: int = 20000) -> None:
    from quenmark.messages import Request, acquire_request, release_request

    environ = scope()

    def pooled(in_flight):
        requests = [acquire_request("GET", b"/api/items/42", b"page=2", HEADERS, environ)
                    for _ in range(in_flight)]
        for request in requests:
            release_request(request)

    def fresh(in_flight):
        requests = [Request.incoming("GET", b"/api/items/42", b"page=2", HEADERS)
                    for _ in range(in_flight)]
        for request in requests:
            request.scope = environ

    def per_request(fn, in_flight):
        start = time.perf_counter_ns()
        for _ in range(number // in_flight):
            fn(in_flight)
        return (time.perf_counter_ns() - start) / (number // in_flight * in_flight)

    print(f"12-header request, ns per request (median of {rounds} rounds of {number})")
    print("  in flight   acquire+release   Request.incoming   ratio")
    for in_flight in (1, 500):
        for fn in (pooled, fresh):
            per_request(fn, in_flight)
        times = {pooled: [], fresh: []}
        for _ in range(rounds):
            for fn in times:
                times[fn].append(per_request(fn, in_flight))
        p, f = statistics.median(times[pooled]), statistics.median(times[fresh])
        print(f"  {in_flight:9}   {p:15.0f}   {f:16.0f}   {f / p:5.2f}x")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


async def upload_through_form() -> tuple[int, int]:
    from quenmark.contents import ASGIContent
    from quenmark.messages import acquire_request, release_request

    block = os.urandom(CHUNK_SIZE)
    count = UPLOAD_SIZE // CHUNK_SIZE
    parts = [field(b"title", b"upload"), file_head()] + [block] * count + [TAIL]
    baseline = resident_bytes()
    peak = baseline
    index = 0

    async def receive():
        nonlocal index, peak
        peak = max(peak, resident_bytes())
        index += 1
        return {"type": "http.request", "body": parts[index - 1], "more_body": index < len(parts)}

    request = acquire_request("POST", b"/upload", b"", HEADERS, scope())
    request.content = ASGIContent(receive)
    form = await request.form()
    assert form["upload"].size == count * CHUNK_SIZE
    peak = max(peak, resident_bytes())
    release_request(request)
    return baseline, peak


def measure_upload() -> None:
    # A fresh interpreter, so that memory freed by the other benchmarks cannot hide growth.
    result = subprocess.run([sys.executable, __file__, "--upload"], capture_output=True,
                            text=True, check=True)
    baseline, peak = map(int, result.stdout.split())
    print(f"resident memory while {UPLOAD_SIZE // 1000000} MB stream through form()")
    print(f"  growth     {(peak - baseline) / 1e6:8.2f} MB (target under 5 MB)")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--upload", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.upload:
        baseline, peak = asyncio.run(upload_through_form())
        print(baseline, peak)
        return
    compare_forms(args.rounds)
    compare_pools(args.rounds)
    measure_upload()


if __name__ == "__main__":
    main()
