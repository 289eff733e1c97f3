"""Starlette serving the benchmark endpoints, written as its documentation shows."""

from starlette.applications import Starlette
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route

from bench_payloads import BODY_64K, MESSAGE


async def plain_text(request):
    return PlainTextResponse(MESSAGE)


async def json_document(request):
    return JSONResponse({"message": MESSAGE})


async def item(request):
    return JSONResponse({"id": request.path_params["item_id"]})


async def echo(request):
    return JSONResponse(await request.json())


async def large(request):
    return PlainTextResponse(BODY_64K)


app = Starlette(routes=[
    Route("/text", plain_text),
    Route("/json", json_document),
    Route("/items/{item_id:int}", item),
    Route("/echo", echo, methods=["POST"]),
    Route("/64k", large),
])
