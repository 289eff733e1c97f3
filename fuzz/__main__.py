"""Run the fuzzers: `python -m fuzz [NAME-PREFIX ...] [--budget S] [--seed N] [--round R]`.

Each fuzzer runs in rounds until its budget (seconds, default $FUZZ_BUDGET or 20) is spent.
Round r uses the seed base+r and a fixed number of examples, so a run is replayed by giving the
same base seed (and, for one failing round, `--round r`). A failure prints the falsifying
example and the command that replays it; a crash leaves the last "fuzz NAME seed N" line.
"""

from __future__ import annotations

import argparse
import faulthandler
import importlib
import logging
import os
import pkgutil
import secrets
import sys
import time
import traceback
from pathlib import Path

from hypothesis import HealthCheck, given, seed, settings

import fuzz

MAX_EXAMPLES = 400


def examples_for(round_index: int) -> int:
    # Small first rounds fit a short budget; later ones are long enough for the search to grow
    # its inputs, and short enough that the budget is overrun by one round at most.
    return min(25 << round_index, MAX_EXAMPLES)


class NotingHandler(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        error = record.exc_info[1] if record.exc_info else None
        # The template, not the message: the request's own text would make every note new.
        fuzz.note(f"logged {record.levelname}", error or str(record.msg)[:60])


def run_round(target: fuzz.Fuzzer, base_seed: int, round_index: int) -> None:
    test = given(**target.strategies)(target.counted())
    test = settings(
        max_examples=examples_for(round_index),
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )(test)
    seed(base_seed + round_index)(test)()


def run(target: fuzz.Fuzzer, budget: float, base_seed: int, only_round: int | None) -> bool:
    print(f"fuzz {target.name} seed {base_seed}", flush=True)
    started = time.monotonic()
    first = index = only_round or 0
    fuzz._current.append(target)
    try:
        while True:
            try:
                run_round(target, base_seed, index)
            except Exception:
                traceback.print_exc()
                print(f"FAILED {target.name}; replay: python -m fuzz {target.name} "
                      f"--seed {base_seed} --round {index}", flush=True)
                return False
            index += 1
            if only_round is not None or time.monotonic() - started >= budget:
                break
    finally:
        fuzz._current.pop()
    elapsed = time.monotonic() - started
    print(f"  ok: {target.cases} cases in {index - first} rounds, {elapsed:.1f} s", flush=True)
    for what, count in sorted(target.notes.items()):
        print(f"  noted {count:>7} x {what}")
    return True


def main() -> int:
    parser = argparse.ArgumentParser(prog="python -m fuzz", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="run the fuzzers whose names start with these")
    parser.add_argument("--budget", type=float, default=float(os.environ.get("FUZZ_BUDGET", 20)),
                        help="seconds per fuzzer (default $FUZZ_BUDGET or 20)")
    parser.add_argument("--seed", type=int, default=None,
                        help="base seed (default $FUZZ_SEED or random)")
    parser.add_argument("--round", type=int, default=None, help="run only this round of the seed")
    parser.add_argument("--list", action="store_true", help="list the fuzzers and exit")
    options = parser.parse_args()

    faulthandler.enable()
    # What the server layer logs (a traceback per failing request) is counted, not printed.
    logger = logging.getLogger("quenmark")
    logger.addHandler(NotingHandler())
    logger.propagate = False
    for module in pkgutil.iter_modules([str(Path(__file__).parent)]):
        if not module.name.startswith("_"):
            importlib.import_module(f"fuzz.{module.name}")
    chosen = [t for name, t in sorted(fuzz.FUZZERS.items())
              if not options.names or any(name.startswith(prefix) for prefix in options.names)]
    if options.list or not chosen:
        print("\n".join(fuzz.FUZZERS) if options.list else "no fuzzer matches")
        return 0 if options.list else 2
    base_seed = options.seed
    if base_seed is None:
        base_seed = int(os.environ.get("FUZZ_SEED") or secrets.randbelow(10**9))
    failed = [t.name for t in chosen if not run(t, options.budget, base_seed, options.round)]
    total = sum(t.cases for t in chosen)
    print(f"fuzz: {len(chosen)} fuzzers, {total} cases, seed {base_seed}, "
          f"{'FAILED: ' + ' '.join(failed) if failed else 'all passed'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
