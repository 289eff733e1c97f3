"""Handing a request and its response back to the per-thread pools when an exchange is over.

A pooled object is reset and handed to the next request of the thread, so it may only go back
when nothing else can still reach it: a background task, a stream's closure, a handler or the
traceback of its exception may keep a request or a response beyond its exchange. Those are not
reset (their holder owns them now and they are collected as usual), but the files of an upload
parsed into a kept request are closed all the same: no upload outlives its exchange.
"""

from __future__ import annotations

import logging
import sys
from typing import Any
from weakref import getweakrefcount

from quenmark.contents import FormPart
from quenmark.messages import Request, release_request, release_response

__all__ = ["recycle"]

logger = logging.getLogger("quenmark.server")

# The response first: resetting it drops its content, whose stream may be what still refers to
# the request.
_RELEASES = ((1, release_response), (0, release_request))


def recycle(held: list[Any]) -> None:
    """Releases `held[1]` (the response) and `held[0]` (the request) to the pools, each only
    when `held` is the one thing that refers to it, and closes the form files of a request that
    is kept elsewhere. Both slots are None afterwards.

    The caller keeps the objects of the exchange in `held` alone (no variable of its own), so
    that a reference count of one, the list's, means that nothing else holds them.
    """
    for index, release in _RELEASES:
        if held[index] is None:
            continue
        try:
            # The subscript lends the call a reference: 2 means that only the list holds one.
            if sys.getrefcount(held[index]) == 2 and not getweakrefcount(held[index]):
                release(held[index])
            elif index == 0:
                _close_form_files(held[index])
        except Exception:  # noqa: BLE001 - the exchange is over; the object is simply not reused
            logger.exception("Could not recycle %r", held[index])
        held[index] = None


def _close_form_files(request: Request) -> None:
    form = request._form_data
    if type(form) is dict:
        for parts in form.values():
            for part in parts:
                if isinstance(part, FormPart):
                    part.close()
