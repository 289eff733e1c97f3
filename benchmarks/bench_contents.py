"""The contents every response or request with a body makes, against the work they cannot avoid.

A TextContent is the text encoded as UTF-8 plus one allocation; a JSONContent, the document
serialised plus one; a response shortcut, those plus a response from the pool. Each row times
the construction, the work it cannot avoid ("floor") and prints their difference, the
construction's own cost: what the native constructors (quenmark._contents) keep small. Calls
"from C" are made as the servers and the shortcuts make them (operator.call, a vectorcall).
The read rows time the read of a request body of one and of two events against making the
content and taking the same events from `receive` alone. Medians of one run.

    .venv/bin/python benchmarks/bench_contents.py [--repeat N] [--number N]
"""

import argparse
import operator
import statistics
import timeit

from driving import drive
from quenmark.contents import ASGIContent, JSONContent, TextContent
from quenmark.messages import acquire_response, release_response
from quenmark.responses import json, text
from quenmark.settings.json import json_settings

MESSAGE = "Hello, World!"
DOCUMENT = {"message": MESSAGE}
call = operator.call
encode_json = json_settings.dumps_utf8


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


BODY = {"type": "http.request", "body": b"x" * 1024, "more_body": False}
PART = {"type": "http.request", "body": b"x" * 512, "more_body": True}


async def receive_body():
    return BODY


def receive_parts():
    events = [BODY, PART]

    async def receive():
        return events.pop()

    return receive


# name -> (construction, floor)
CASES = {
    "TextContent(m)": ("TextContent(MESSAGE)", "MESSAGE.encode()"),
    "TextContent(m) from C": ("call(TextContent, MESSAGE)", "MESSAGE.encode()"),
    "JSONContent(d)": ("JSONContent(DOCUMENT)", "encode_json(DOCUMENT)"),
    "JSONContent(d) from C": ("call(JSONContent, DOCUMENT)", "encode_json(DOCUMENT)"),
    "ASGIContent(receive) from C": ("call(ASGIContent, receive)", "call(object)"),
    # The read of a body, against the same events taken from `receive` alone.
    "ASGIContent.read(), 1 event": ("drive(call(ASGIContent, receive_body).read())",
                                    "call(ASGIContent, receive_body); drive(receive_body())"),
    "ASGIContent.read(), 2 events": (
        "drive(call(ASGIContent, receive_parts()).read())",
        "call(ASGIContent, receive_parts()); r = receive_parts(); drive(r()); drive(r())"),
    "text(m), released": ("release_response(text(MESSAGE))",
                          "release_response(acquire_response(200)); MESSAGE.encode()"),
    "json(d), released": ("release_response(json(DOCUMENT))",
                          "release_response(acquire_response(200)); encode_json(DOCUMENT)"),
}


def measure(statement, number, repeat):
    runs = timeit.Timer(statement, globals=globals()).repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number * 1e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=100000)
    args = parser.parse_args()
    print(f"{'construction':<30} {'ns':>8} {'floor':>8} {'own':>8}")
    for name, (made, floor) in CASES.items():
        t = measure(made, args.number, args.repeat)
        f = measure(floor, args.number, args.repeat)
        print(f"{name:<30} {t:8.1f} {f:8.1f} {t - f:8.1f}")


if __name__ == "__main__":
    main()
