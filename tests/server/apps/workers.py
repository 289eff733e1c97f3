"""Served with several workers: each answers with its process and whether its hooks ran."""

import os

from quenmark import Application
from quenmark.messages import Request, Response
from quenmark.responses import json

app = Application()
started: list[int] = []


async def start(app: Application) -> None:
    started.append(os.getpid())


app.on_start.append(start)


@app.router.get("/")
async def home(request: Request) -> Response:
    return json({"pid": os.getpid(), "started": started})
