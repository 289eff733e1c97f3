"""Multipart parsing throughput: quenmark.multipart against python-multipart.

One body holds a 50 MB file part between two small fields and is fed to both parsers
in 64 KiB chunks, as a server hands a request body over. Each parser runs several
times, alternating, and the medians are compared in the same run.
"""

from __future__ import annotations

import asyncio
import os
import statistics
import sys
import time

from quenmark.multipart import parse_multipart_async

FILE_SIZE = 50 * 1000 * 1000
CHUNK_SIZE = 64 * 1024
ROUNDS = 11
BOUNDARY = b"----------------quenmarkbenchboundary7f3a9c"


def make_body(file_size: int) -> bytes:
    # Random data with CR LF and dashes sprinkled in, so partial delimiters occur.
    data = bytearray(os.urandom(file_size))
    for offset in range(0, file_size - 4, 4099):
        data[offset : offset + 4] = b"\r\n--"
    return b"".join(
        [
            b"--" + BOUNDARY + b"\r\n",
            b'Content-Disposition: form-data; name="title"\r\n\r\n',
            b"benchmark\r\n",
            b"--" + BOUNDARY + b"\r\n",
            b'Content-Disposition: form-data; name="upload"; filename="data.bin"\r\n',
            b"Content-Type: application/octet-stream\r\n\r\n",
            bytes(data),
            b"\r\n--" + BOUNDARY + b"\r\n",
            b'Content-Disposition: form-data; name="tail"\r\n\r\n',
            b"end\r\n",
            b"--" + BOUNDARY + b"--\r\n",
        ]
    )


def split(body: bytes) -> list[bytes]:
    return [body[i : i + CHUNK_SIZE] for i in range(0, len(body), CHUNK_SIZE)]


async def _chunks(chunks: list[bytes]):
    for chunk in chunks:
        yield chunk


async def _quenmark(chunks: list[bytes]) -> int:
    total = 0
    async for part in parse_multipart_async(_chunks(chunks), BOUNDARY):
        async for data in part.stream():
            total += len(data)
    return total


_runner = asyncio.Runner()  # one event loop for every run: its start-up is not parsing


def run_quenmark(chunks: list[bytes]) -> int:
    return _runner.run(_quenmark(chunks))


def run_python_multipart(chunks: list[bytes]) -> int:
    # Driven the way a framework drives it: header callbacks collect each part's
    # headers and Content-Disposition is parsed for the field name, so that both
    # parsers deliver the same information.
    from python_multipart.multipart import MultipartParser, parse_options_header

    total = 0
    header_field = bytearray()
    header_value = bytearray()
    headers: list[tuple[bytes, bytes]] = []
    names: list[str] = []

    def on_part_begin() -> None:
        headers.clear()

    def on_header_field(data: bytes, start: int, end: int) -> None:
        header_field.extend(data[start:end])

    def on_header_value(data: bytes, start: int, end: int) -> None:
        header_value.extend(data[start:end])

    def on_header_end() -> None:
        headers.append((bytes(header_field).lower(), bytes(header_value)))
        header_field.clear()
        header_value.clear()

    def on_headers_finished() -> None:
        for name, value in headers:
            if name == b"content-disposition":
                _, options = parse_options_header(value)
                names.append(options[b"name"].decode("utf-8"))

    def on_part_data(data: bytes, start: int, end: int) -> None:
        nonlocal total
        total += end - start

    parser = MultipartParser(
        BOUNDARY,
        {
            "on_part_begin": on_part_begin,
            "on_header_field": on_header_field,
            "on_header_value": on_header_value,
            "on_header_end": on_header_end,
            "on_headers_finished": on_headers_finished,
            "on_part_data": on_part_data,
        },
    )
    for chunk in chunks:
        parser.write(chunk)
    parser.finalize()
    return total


def measure(fn, chunks: list[bytes]) -> tuple[float, int]:
    start = time.perf_counter()
    total = fn(chunks)
    return time.perf_counter() - start, total


def make_fields_body(count: int) -> bytes:
    parts = [
        b"--" + BOUNDARY + b"\r\n"
        b'Content-Disposition: form-data; name="field%d"\r\n\r\n'
        b"value number %d\r\n" % (i, i)
        for i in range(count)
    ]
    return b"".join(parts) + b"--" + BOUNDARY + b"--\r\n"


def compare(title: str, body: bytes, expected: int, runners: dict) -> None:
    chunks = split(body)
    times: dict[str, list[float]] = {name: [] for name in runners}
    for _ in range(ROUNDS):
        for name, fn in runners.items():
            elapsed, total = measure(fn, chunks)
            if total != expected:
                sys.exit(f"{name} parsed {total} bytes of data, expected {expected}")
            times[name].append(elapsed)
    megabytes = len(body) / 1e6
    print(f"{title}: {megabytes:.1f} MB in {CHUNK_SIZE // 1024} KiB chunks, median of {ROUNDS} runs")
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, median in medians.items():
        print(f"  {name:<17} {megabytes / median:9.1f} MB/s  ({median * 1000:.2f} ms)")
    if "python-multipart" in medians:
        # Each round runs both parsers back to back, so the ratio within a round is
        # less exposed to other load on the machine than the ratio of the medians.
        ratios = [other / ours for ours, other in zip(times["quenmark"], times["python-multipart"])]
        print(
            f"  quenmark / python-multipart throughput: {statistics.median(ratios):.2f}x "
            f"(median of per-round ratios; {min(ratios):.2f}x to {max(ratios):.2f}x)"
        )


def main() -> None:
    from quenmark import multipart

    search = "vectorised (quenmark._multipart)" if multipart._HAS_SIMD else "bytes.find"
    print(f"quenmark delimiter search: {search}")
    runners = {"quenmark": run_quenmark}
    try:
        import python_multipart  # noqa: F401

        runners["python-multipart"] = run_python_multipart
    except ImportError:
        print("python-multipart is not installed: measuring quenmark alone")
    compare(
        "50 MB file part",
        make_body(FILE_SIZE),
        FILE_SIZE + len(b"benchmark") + len(b"end"),
        runners,
    )
    fields = 1000
    compare(
        f"{fields} small fields",
        make_fields_body(fields),
        sum(len(b"value number %d" % i) for i in range(fields)),
        runners,
    )


if __name__ == "__main__":
    with _runner:
        main()
