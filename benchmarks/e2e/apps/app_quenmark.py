"""quenmark serving the benchmark endpoints, through its public API only, so that the app keeps
working while the layers under it change. The same object is the ASGI and the RSGI app."""

from quenmark import Application
from quenmark.responses import json, text

from bench_payloads import BODY_64K, MESSAGE

app = Application()


@app.router.get("/text")
async def plain_text(request):
    return text(MESSAGE)


@app.router.get("/json")
async def json_document(request):
    return json({"message": MESSAGE})


@app.router.get("/items/{item_id:int}")
async def item(request):
    return json({"id": int(request.route_values["item_id"])})


@app.router.post("/echo")
async def echo(request):
    return json(await request.json())


@app.router.get("/64k")
async def large(request):
    return text(BODY_64K)
