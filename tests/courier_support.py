"""Shared helpers for the kelpie.courier tests: a real aiohttp.web server that
runs on the test's own event loop, and a recording stand-in for the aiohttp
module that wraps the real client session and request context managers."""

import asyncio
import gc
import json
import socket
import urllib.parse
import warnings

import aiohttp
import pytest
from aiohttp import web
from yarl import URL

import os, sys, importlib.util  # TEMP-HOOK
if os.environ.get("COURIER_REF"):  # TEMP-HOOK
    _spec = importlib.util.spec_from_file_location("kelpie.courier", os.environ["COURIER_REF"])  # TEMP-HOOK
    _m = importlib.util.module_from_spec(_spec); sys.modules["kelpie.courier"] = _m  # TEMP-HOOK
    _spec.loader.exec_module(_m); import kelpie; kelpie.courier = _m  # TEMP-HOOK
import kelpie.courier as courier

SAFETY = 30  # seconds; only guards against a hang, never asserted on


def free_port():
    """A local port with nothing listening on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Received:
    def __init__(self, path, query, headers, content_type, body, fields):
        self.path = path
        self.query = query
        self.headers = headers
        self.content_type = content_type
        self.body = body  # raw bytes, for non-form bodies
        self.fields = fields  # [(name, filename, content_type, bytes)] for forms

    def json(self, **kw):
        return json.loads(self.body.decode("utf-8"), **kw)


class Server:
    """aiohttp.web application on 127.0.0.1, port chosen by the OS.

    Routes (all POST):
      /reply?status=&ctype=&body=   answer with that status, type and text
      /echo-id                      answer {"id": <id from the JSON or form>}
      /script/<key>                 stream self.scripts[key] piece by piece
      /stall/<key>?phase=           stop before the headers, or after them, or
                                    after a first chunk, until released
    Every request is recorded in self.received before it is answered.
    """

    def __init__(self):
        self.received = []
        self.scripts = {}
        self.arrived = {}
        self.release = asyncio.Event()

    async def __aenter__(self):
        app = web.Application()
        app.router.add_post("/reply", self._reply)
        app.router.add_post("/echo-id", self._echo_id)
        app.router.add_post("/script/{key}", self._script)
        app.router.add_post("/stall/{key}", self._stall)
        self._runner = web.AppRunner(app, handler_cancellation=True, access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        await site.start()
        self.port = site._server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc):
        self.release.set()
        await self._runner.cleanup()

    def url(self, path, **query):
        u = URL(f"http://127.0.0.1:{self.port}{path}")
        return str(u.with_query(query) if query else u)

    def arrival(self, key):
        return self.arrived.setdefault(key, asyncio.Event())

    async def wait_arrival(self, key):
        await asyncio.wait_for(self.arrival(key).wait(), SAFETY)

    async def _record(self, request):
        ctype = request.content_type
        fields, body = [], b""
        if ctype == "multipart/form-data":
            reader = await request.multipart()
            while (part := await reader.next()) is not None:
                filename = part.filename and urllib.parse.unquote(part.filename)  # aiohttp %-quotes it
                fields.append((part.name, filename,
                               part.headers.get("Content-Type"), await part.read()))
        elif ctype == "application/x-www-form-urlencoded":
            for name, value in (await request.post()).items():
                fields.append((name, None, None, value.encode()))
        else:
            body = await request.read()
        rec = Received(request.path, dict(request.query), dict(request.headers), ctype, body, fields)
        self.received.append(rec)
        return rec

    async def _reply(self, request):
        await self._record(request)
        q = request.query
        return web.Response(status=int(q.get("status", "200")), text=q.get("body", '{"ok": true}'),
                            content_type=q.get("ctype", "application/json"))

    async def _echo_id(self, request):
        rec = await self._record(request)
        ident = rec.json()["id"] if rec.body else dict((f[0], f[3].decode()) for f in rec.fields)["id"]
        status = int(request.query.get("status", "200"))
        return web.json_response({"id": ident}, status=status)

    async def _script(self, request):
        await self._record(request)
        pieces = self.scripts[request.match_info["key"]]
        resp = web.StreamResponse(status=200, headers={"Content-Type": "text/event-stream"})
        await resp.prepare(request)
        for piece in pieces:
            await resp.write(piece)
            await asyncio.sleep(0.02)  # let each piece travel on its own
        await resp.write_eof()
        return resp

    async def _stall(self, request):
        await self._record(request)
        key, phase = request.match_info["key"], request.query.get("phase", "headers")
        status = int(request.query.get("status", "200"))
        if phase == "headers":
            self.arrival(key).set()
            await self.release.wait()
            return web.Response(text="late")
        resp = web.StreamResponse(status=status, headers={"Content-Type": "application/json"})
        await resp.prepare(request)
        if phase == "midstream":
            await resp.write(b"data: one\n\n")
        self.arrival(key).set()
        await self.release.wait()
        return resp


def run(fn, *args):
    """Run `await fn(server, *args)` on a fresh event loop with a live server."""

    async def main():
        async with Server() as srv:
            return await fn(srv, *args)

    return asyncio.run(main())


def run_loop(coro):
    return asyncio.run(coro)


# ---------------------------------------------------------------- recording aiohttp


class Recorder:
    """Put in place of kelpie.courier.aiohttp.  Everything is the real aiohttp
    module except ClientSession, whose sessions and request context managers
    are proxies that log enter/exit (with the exception type handed to exit)
    and delegate to the real objects.

    stall: one of "session_enter", "response_exit", "session_exit": wait there
    forever (until cancelled) after signalling `self.stalled`.
    suppress: "response" or "session": that exit answers True.
    raise_in_response_exit: exit of the response raises KeyError when it is
    handed an exception."""

    def __init__(self, stall=None, suppress=None, raise_in_response_exit=False):
        self.events = []
        self.post_calls = []
        self.session_args = []
        self.real_sessions = []
        self.stall = stall
        self.suppress = suppress
        self.raise_in_response_exit = raise_in_response_exit
        self.stalled = asyncio.Event()
        self.session_left = asyncio.Event()

    def __getattr__(self, name):
        return getattr(aiohttp, name)

    def ClientSession(self, *args, **kwargs):
        self.session_args.append((args, kwargs))
        return _SessionProxy(self)

    async def _maybe_stall(self, where):
        if self.stall == where:
            self.stalled.set()
            await asyncio.get_running_loop().create_future()

    def assert_clean(self):
        """Every real session was closed and nothing warns about leaks."""
        assert all(s.closed for s in self.real_sessions)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            gc.collect()
        assert not [w for w in caught if "Unclosed" in str(w.message)]


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(courier, "aiohttp", rec)
    yield rec
    rec.assert_clean()


def _name(et):
    return et.__name__ if et is not None else None


class _SessionProxy:
    def __init__(self, rec):
        self._rec = rec
        self._real = None

    async def __aenter__(self):
        await self._rec._maybe_stall("session_enter")
        self._real = aiohttp.ClientSession()
        self._rec.real_sessions.append(self._real)
        await self._real.__aenter__()
        self._rec.events.append("session_enter")
        return self

    async def __aexit__(self, et, ev, tb):
        self._rec.events.append(f"session_exit({_name(et)})")
        try:
            await self._rec._maybe_stall("session_exit")
        finally:
            await self._real.__aexit__(et, ev, tb)
            self._rec.session_left.set()
        return self._rec.suppress == "session"

    def post(self, *args, **kwargs):
        self._rec.events.append("post")
        self._rec.post_calls.append((args, list(kwargs.items())))
        return _ResponseProxy(self._rec, self._real.post(*args, **kwargs))


class _ResponseProxy:
    def __init__(self, rec, inner):
        self._rec = rec
        self._inner = inner

    async def __aenter__(self):
        response = await self._inner.__aenter__()
        self._rec.events.append("response_enter")
        return response

    async def __aexit__(self, et, ev, tb):
        self._rec.events.append(f"response_exit({_name(et)})")
        try:
            await self._rec._maybe_stall("response_exit")
        finally:
            await self._inner.__aexit__(et, ev, tb)
        if self._rec.raise_in_response_exit and et is not None:
            raise KeyError("from exit")
        return self._rec.suppress == "response"


def path(*, exc=None, response=True):
    """The event log of one call that got as far as `response`."""
    head = ["session_enter", "post"] + (["response_enter", f"response_exit({_name(exc)})"] if response else [])
    return head + [f"session_exit({_name(exc)})"]
