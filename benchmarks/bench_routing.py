"""Route lookup: quenmark's CythonRadixRouter against Starlette's router at 10, 100 and 1,000 routes.

Both routers hold the same routes, a rotation of four typed shapes (int, uuid plus str, float, path)
under a distinct first segment. Starlette is timed the way its Router resolves a request: the
`matches(scope)` loop over its routes until one matches fully. quenmark is timed through
`get_match(method, path)`. Every lookup resolves a typed-parameter path; the paths are spread
evenly over the route set. Prints the median ns per lookup and the ratios.

    .venv/bin/python benchmarks/bench_routing.py [--repeat N]

Targets: at least 20x faster than Starlette at 100 routes; at 1,000 routes, at most 1.5x the
lookup time at 10 routes.
"""

import argparse
import statistics
import time

from starlette.routing import Match, Route

from quenmark.routing import CythonRadixRouter

SIZES = (10, 100, 1000)
PATHS_PER_SET = 64
UUID = "123e4567-e89b-12d3-a456-426614174000"


def pattern_and_path(i):
    kind = i % 4
    if kind == 0:
        return f"/res{i}/items/{{id:int}}", f"/res{i}/items/{i * 7}"
    if kind == 1:
        return f"/res{i}/users/{{uid:uuid}}/posts/{{slug}}", f"/res{i}/users/{UUID}/posts/hello-world"
    if kind == 2:
        return f"/res{i}/prices/{{amount:float}}", f"/res{i}/prices/{i}.25"
    return f"/res{i}/files/{{rest:path}}", f"/res{i}/files/docs/2024/report.pdf"


async def endpoint(request):  # pragma: no cover - never called
    return None


def build(n):
    router = CythonRadixRouter()
    routes = []
    for i in range(n):
        pattern, _ = pattern_and_path(i)
        router.add_route(b"GET", pattern.encode(), i)
        routes.append(Route(pattern, endpoint, methods=["GET"]))
    step = max(1, n // PATHS_PER_SET)
    paths = [pattern_and_path(i)[1] for i in range(0, n, step)][:PATHS_PER_SET]
    return router, routes, paths


def time_quenmark(router, paths, loops):
    raw = [p.encode() for p in paths]
    get_match = router.get_match
    start = time.perf_counter_ns()
    for _ in range(loops):
        for path in raw:
            get_match(b"GET", path)
    return (time.perf_counter_ns() - start) / (loops * len(raw))


def starlette_lookup(routes, scope):
    for route in routes:
        match, child_scope = route.matches(scope)
        if match is Match.FULL:
            return route, child_scope
    return None


def time_starlette(routes, paths, loops):
    scopes = [{"type": "http", "method": "GET", "path": p, "root_path": ""} for p in paths]
    start = time.perf_counter_ns()
    for _ in range(loops):
        for scope in scopes:
            starlette_lookup(routes, scope)
    return (time.perf_counter_ns() - start) / (loops * len(scopes))


def check(router, routes, paths):
    for path in paths:
        found = router.get_match(b"GET", path.encode())
        assert found is not None and all(isinstance(v, str) for v in found[1].values()), path
        assert starlette_lookup(routes, {"type": "http", "method": "GET", "path": path, "root_path": ""})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="timed rounds per figure (median)")
    args = parser.parse_args(argv)

    sets = {n: build(n) for n in SIZES}
    for router, routes, paths in sets.values():
        check(router, routes, paths)
    timings = {n: ([], []) for n in SIZES}
    for _ in range(args.repeat):
        # Every size and both routers in each round, so that load from elsewhere on the machine
        # spreads over all figures alike.
        for n, (router, routes, paths) in sets.items():
            timings[n][0].append(time_quenmark(router, paths, 200))
            timings[n][1].append(time_starlette(routes, paths, max(1, 1000 // n)))
    results = {n: (statistics.median(qm), statistics.median(st)) for n, (qm, st) in timings.items()}

    print(f"{'routes':>7} {'quenmark ns':>12} {'starlette ns':>13} {'speed-up':>9}")
    for n, (qm, st) in results.items():
        print(f"{n:>7} {qm:>12.0f} {st:>13.0f} {st / qm:>8.1f}x")
    speedup_100 = results[100][1] / results[100][0]
    growth = results[1000][0] / results[10][0]
    print(f"speed-up at 100 routes: {speedup_100:.1f}x (target >= 20x)")
    print(f"lookup time 1,000 vs 10 routes: {growth:.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
