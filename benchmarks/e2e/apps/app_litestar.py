"""Litestar serving the benchmark endpoints, written as its documentation shows."""

from typing import Any

from litestar import Litestar, MediaType, get, post

from bench_payloads import BODY_64K, MESSAGE


@get("/text", media_type=MediaType.TEXT)
async def plain_text() -> str:
    return MESSAGE


@get("/json")
async def json_document() -> dict[str, str]:
    return {"message": MESSAGE}


@get("/items/{item_id:int}")
async def item(item_id: int) -> dict[str, int]:
    return {"id": item_id}


@post("/echo", status_code=200)
async def echo(data: dict[str, Any]) -> dict[str, Any]:
    return data


@get("/64k", media_type=MediaType.TEXT)
async def large() -> str:
    return BODY_64K


app = Litestar(route_handlers=[plain_text, json_document, item, echo, large])
