import random

import pytest

import quenmark._multipart as search


DELIMITER = b"\r\n--" + b"----WebKitFormBoundary7MA4YWxkTrZu0gW"


def _cases():
    rng = random.Random(7)
    yield b"", DELIMITER, 0
    yield DELIMITER, DELIMITER, 0
    yield DELIMITER[:-1], DELIMITER, 0
    yield b"ab", b"b", 0  # one-byte needle
    yield b"abc", b"", 1  # empty needle
    for size in (1, 31, 32, 33, 63, 64, 65, 100, 1000, 70000):
        data = bytearray(rng.randbytes(size))
        yield bytes(data), DELIMITER, 0
        for where in {0, size // 2, max(0, size - len(DELIMITER))}:
            if where + len(DELIMITER) <= size:
                planted = bytearray(data)
                planted[where : where + len(DELIMITER)] = DELIMITER
                for start in (0, where, where + 1, size):
                    yield bytes(planted), DELIMITER, start
    # Degenerate data: every position starts and ends like the delimiter, and nearly all
    # of it matches, so the vector filter passes everything and must give up in time.
    near_miss = DELIMITER[:-2] + b"X" + DELIMITER[-1:]
    yield near_miss * 2000, DELIMITER, 0
    yield near_miss * 2000 + DELIMITER, DELIMITER, 0
    yield near_miss * 1000 + DELIMITER + near_miss * 1000, DELIMITER, 5
    yield b"\r" * 50000 + b"\n" + DELIMITER, DELIMITER, 0
    yield (b"\r\n--" * 20000) + DELIMITER, DELIMITER, 3
    yield b"aaaa" * 1000 + b"ab", b"ab", 0


@pytest.mark.parametrize("case", list(_cases()), ids=lambda c: f"{len(c[0])}-{c[2]}")
def test_find_delimiter_matches_bytes_find(case):
    buffer, delimiter, start = case
    assert search.find_delimiter(buffer, delimiter, start) == buffer.find(delimiter, start)


@pytest.mark.parametrize("start", [-1, -100, 10**6])
def test_find_delimiter_out_of_range_starts(start):
    buffer = b"x" * 10 + DELIMITER
    assert search.find_delimiter(buffer, DELIMITER, start) == buffer.find(DELIMITER, start)


@pytest.mark.parametrize(
    "args",
    [(bytearray(b"x"), DELIMITER, 0), (b"x", "text", 0), (b"x", DELIMITER, "0"), (b"x", DELIMITER)],
)
def test_find_delimiter_refuses_bad_arguments(args):
    with pytest.raises(TypeError):
        search.find_delimiter(*args)
