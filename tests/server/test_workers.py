"""Several workers under each server: each runs its own start hooks and serves requests."""

from pathlib import Path

import httpx
import pytest

from servers import NAMES, serve


@pytest.mark.parametrize("name", NAMES)
def test_each_worker_starts_its_own_application(name):
    apps = Path(__file__).resolve().parent / "apps"
    with serve(name, "workers:app", apps, options=("--workers", "2")) as served:
        pids = set()
        # New connections spread over the workers; a few dozen reach both.
        for _ in range(200):
            answer = httpx.get(served.url + "/", headers={"connection": "close"}, timeout=10).json()
            assert answer["started"] == [answer["pid"]]
            pids.add(answer["pid"])
            if len(pids) == 2:
                break
        assert len(pids) == 2
