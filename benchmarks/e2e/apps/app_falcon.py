"""Falcon (its ASGI app) serving the benchmark endpoints, written as its documentation shows."""

import falcon
import falcon.asgi

from bench_payloads import BODY_64K, MESSAGE


class PlainText:
    async def on_get(self, req, resp):
        resp.content_type = falcon.MEDIA_TEXT
        resp.text = MESSAGE


class JSONDocument:
    async def on_get(self, req, resp):
        resp.media = {"message": MESSAGE}


class Item:
    async def on_get(self, req, resp, item_id):
        resp.media = {"id": item_id}


class Echo:
    async def on_post(self, req, resp):
        resp.media = await req.get_media()


class Large:
    async def on_get(self, req, resp):
        resp.content_type = falcon.MEDIA_TEXT
        resp.text = BODY_64K


app = falcon.asgi.App()
app.add_route("/text", PlainText())
app.add_route("/json", JSONDocument())
app.add_route("/items/{item_id:int}", Item())
app.add_route("/echo", Echo())
app.add_route("/64k", Large())
