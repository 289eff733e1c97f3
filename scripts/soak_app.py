"""The example application as the soak serves it (`soak_app:app`).

Two things differ from `examples/hello.py` run as it is, so that what the soak measures is the
framework: the example's item store grows by one entry per created item, which a million
requests would turn into a memory growth of its own, so it keeps the latest hundred; and
the tracebacks of its failing requests are formatted as for a log but not written.
"""

import logging
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import hello  # noqa: E402

KEPT_ITEMS = 100


class BoundedItems(dict):
    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        while len(self) > KEPT_ITEMS:
            # The two example items stay; the oldest created one goes.
            del self[next(k for k in self if k > 2)]


class FormattedAndDropped(logging.Handler):
    def emit(self, record):
        self.format(record)


hello.items = BoundedItems(hello.items)
logger = logging.getLogger("quenmark.server")
logger.addHandler(FormattedAndDropped())
logger.propagate = False
app = hello.app
