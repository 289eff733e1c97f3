"""A small quenmark application: `make serve`, then open http://127.0.0.1:8000/."""

from quenmark import Application
from quenmark.exceptions import NotFound
from quenmark.messages import Request, Response
from quenmark.responses import json, text

app = Application()
items = {1: {"id": 1, "name": "lamp"}, 2: {"id": 2, "name": "chair"}}


@app.router.get("/")
async def home(request: Request) -> Response:
    return text("Hello from quenmark!")


@app.router.get("/items/{item_id:int}")
async def get_item(request: Request) -> Response:
    item = items.get(int(request.route_values["item_id"]))
    if item is None:
        raise NotFound("No such item")
    return json(item)


@app.router.post("/items")
async def add_item(request: Request) -> Response:
    data = await request.json()
    new_id = max(items) + 1
    item = {"id": new_id, "name": str(data["name"])}
    items[new_id] = item
    return json(item, status=201)


@app.router.get("/hello/{name}")
async def hello(request: Request) -> Response:
    name = request.route_values["name"]
    greeting = request.query.get("greeting", ["Hello"])[0]
    return text(f"{greeting}, {name}!")
