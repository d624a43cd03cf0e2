"""Many calls in flight at once on one loop: every answer reaches its own caller."""

import asyncio
import json

from tests.courier_support import AiohttpRecorder, courier, run

N = 600


def test_many_calls_at_once_each_get_their_own_answer(monkeypatch):
    rec = AiohttpRecorder()
    monkeypatch.setattr(courier, "aiohttp", rec)

    def one(srv, i):
        kind = i % 4
        if kind == 0:
            return courier.async_call_api(srv.url("/echo-id"), {"X-Id": str(i)}, {"id": i})
        if kind == 1:
            return courier.async_call_api(srv.url("/echo-id"), payload={"id": -1}, data={"id": i}, use_form=True)
        if kind == 2:
            return courier.async_call_api(srv.url("/echo-id", status="404"), payload={"id": i})
        return courier.async_llm_api(str(i), srv.url("/reply", body=json.dumps({"n": i})), f"key-{i}")

    def expected(i):
        return [{"id": i}, {"id": str(i)}, (404, json.dumps({"id": i})), {"n": i}][i % 4]

    async def go(srv):
        return await asyncio.gather(*(one(srv, i) for i in range(N))), srv.received

    results, received = run(go)
    assert results == [expected(i) for i in range(N)]
    assert len(received) == N and len(rec.real_sessions) == N
    assert {r.headers["X-Id"] for r in received if "X-Id" in r.headers} == {str(i) for i in range(0, N, 4)}
    assert all(r.headers["Authorization"] == "Bearer key-" + r.json()["messages"][0]["content"]
               for r in received if "Authorization" in r.headers)
    # every call opened and closed its own session, response first
    assert rec.events.count("session_enter") == rec.events.count("session_exit(None)") == N
    assert rec.events.count("response_exit(None)") == N
    rec.assert_clean()


def test_many_streams_at_once():
    async def one(srv, i):
        return [item async for item in courier.async_call_api_stream(
            srv.url("/reply", body=f"data: {i}\n: ping\ndata: end-{i}\n"), sse=True)]

    async def go(srv):
        return await asyncio.gather(*(one(srv, i) for i in range(200)))

    assert run(go) == [[str(i).encode(), f"end-{i}".encode()] for i in range(200)]
