"""Shared helpers for the kelpie.courier tests: a real aiohttp.web server on the
test's own event loop, and a recording stand-in for the aiohttp module."""

import asyncio
import gc
import json
import socket
import sys
import urllib.parse
import warnings

import aiohttp
from aiohttp import web
from yarl import URL

import kelpie.courier as courier

SAFETY = 30  # seconds; only guards against a hang, never asserted on


def free_port():
    """A local port with nothing listening on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Received:
    def __init__(self, headers, content_type, body, fields):
        self.headers, self.content_type, self.body, self.fields = headers, content_type, body, fields

    def json(self, **kw):
        return json.loads(self.body.decode("utf-8"), **kw)


class Server:
    """POST routes:
      /reply?status=&ctype=&body=  answer with that status, content type and text
      /echo-id?status=             answer {"id": <id from the JSON body or the form>}
      /script/<key>                stream self.scripts[key], one network write per piece
      /stall/<key>?phase=&status=  signal arrival, then hold until released: before
                                   the headers, after them ("body"), or after a first
                                   event-stream line ("midstream")
    Every request body is recorded in self.received: raw bytes, or form fields as
    (name, filename, content type, value) in arrival order."""

    def __init__(self):
        self.received, self.scripts, self.arrived = [], {}, {}
        self.release = asyncio.Event()

    async def __aenter__(self):
        app = web.Application()
        for route, handler in [("/reply", self._reply), ("/echo-id", self._echo_id),
                               ("/script/{key}", self._script), ("/stall/{key}", self._stall)]:
            app.router.add_post(route, handler)
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
        return str(URL(f"http://127.0.0.1:{self.port}{path}").with_query(query))

    def arrival(self, key):
        return self.arrived.setdefault(key, asyncio.Event())

    async def wait_arrival(self, key):
        await asyncio.wait_for(self.arrival(key).wait(), SAFETY)

    async def _record(self, request):
        fields, body = [], b""
        if request.content_type == "multipart/form-data":
            reader = await request.multipart()
            while (part := await reader.next()) is not None:
                filename = part.filename and urllib.parse.unquote(part.filename)  # aiohttp %-quotes it
                fields.append((part.name, filename, part.headers.get("Content-Type"), bytes(await part.read())))
        elif request.content_type == "application/x-www-form-urlencoded":
            fields = [(name, None, None, value.encode()) for name, value in (await request.post()).items()]
        else:
            body = await request.read()
        rec = Received(dict(request.headers), request.content_type, body, fields)
        self.received.append(rec)
        return rec

    async def _reply(self, request):
        await self._record(request)
        q = request.query
        return web.Response(status=int(q.get("status", "200")), text=q.get("body", '{"ok": true}'),
                            content_type=q.get("ctype", "application/json"))

    async def _echo_id(self, request):
        rec = await self._record(request)
        ident = rec.json()["id"] if rec.body else {f[0]: f[3].decode() for f in rec.fields}["id"]
        return web.json_response({"id": ident}, status=int(request.query.get("status", "200")))

    async def _script(self, request):
        await self._record(request)
        resp = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await resp.prepare(request)
        for piece in self.scripts[request.match_info["key"]]:
            await resp.write(piece)
            await asyncio.sleep(0.02)  # let each piece travel on its own
        await resp.write_eof()
        return resp

    async def _stall(self, request):
        await self._record(request)
        key, phase = request.match_info["key"], request.query.get("phase", "headers")
        if phase == "headers":
            self.arrival(key).set()
            await self.release.wait()
            return web.Response(text="late")
        resp = web.StreamResponse(status=int(request.query.get("status", "200")),
                                  headers={"Content-Type": "application/json"})
        await resp.prepare(request)
        if phase == "midstream":
            await resp.write(b"data: one\n\n")
        self.arrival(key).set()
        await self.release.wait()
        return resp


def run(fn):
    """Run `await fn(server)` on a fresh event loop with a live server."""

    async def main():
        async with Server() as srv:
            return await fn(srv)

    return asyncio.run(main())


# ---------------------------------------------------------------- recording aiohttp


class AiohttpRecorder:
    """Stands in for kelpie.courier.aiohttp: the real module, except that
    ClientSession gives a proxy session whose context and whose post() context
    log their enter/exit (exit with the exception type it is handed) and
    delegate to the real objects.

    stall: "session_enter", "response_exit" or "session_exit": signal
    `stalled` there and wait until cancelled.  suppress: "response" or
    "session": that exit answers True.  raise_in_response_exit: that exit
    raises KeyError when handed an exception."""

    def __init__(self, stall=None, suppress=None, raise_in_response_exit=False):
        self.events, self.post_calls, self.session_args, self.real_sessions = [], [], [], []
        self.exc_visible_in_exit = []
        self.stall, self.suppress, self.raise_in_response_exit = stall, suppress, raise_in_response_exit
        self.stalled, self.session_left = asyncio.Event(), asyncio.Event()

    def __getattr__(self, name):
        return getattr(aiohttp, name)

    def ClientSession(self, *args, **kwargs):
        self.session_args.append((args, kwargs))
        return _SessionProxy(self)

    async def _maybe_stall(self, where):
        if self.stall == where:
            self.stalled.set()
            await asyncio.get_running_loop().create_future()

    async def _leave(self, what, inner, et, ev, tb):
        """The exit of the `what` context ("session" or "response"): logged
        with the exception type it is handed, stalled there if asked, then
        the real object's exit, whatever happens."""
        self.events.append(f"{what}_exit({et.__name__ if et else None})")
        if et is not None:
            self.exc_visible_in_exit.append(sys.exc_info()[1] is ev)
        try:
            await self._maybe_stall(what + "_exit")
        finally:
            await inner.__aexit__(et, ev, tb)

    def assert_clean(self):
        """Every real session was closed and nothing warns about a leak."""
        assert all(s.closed for s in self.real_sessions)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            gc.collect()
        assert not [w for w in caught if "Unclosed" in str(w.message)]


class _SessionProxy:
    def __init__(self, rec):
        self._rec, self._real = rec, None

    async def __aenter__(self):
        await self._rec._maybe_stall("session_enter")
        self._real = aiohttp.ClientSession()
        self._rec.real_sessions.append(self._real)
        await self._real.__aenter__()
        self._rec.events.append("session_enter")
        return self

    async def __aexit__(self, et, ev, tb):
        try:
            await self._rec._leave("session", self._real, et, ev, tb)
        finally:
            self._rec.session_left.set()
        return self._rec.suppress == "session"

    def post(self, *args, **kwargs):
        self._rec.events.append("post")
        self._rec.post_calls.append((args, list(kwargs.items())))
        return _ResponseProxy(self._rec, self._real.post(*args, **kwargs))


class _ResponseProxy:
    def __init__(self, rec, inner):
        self._rec, self._inner = rec, inner

    async def __aenter__(self):
        response = await self._inner.__aenter__()
        self._rec.events.append("response_enter")
        return response

    async def __aexit__(self, et, ev, tb):
        await self._rec._leave("response", self._inner, et, ev, tb)
        if self._rec.raise_in_response_exit and et is not None:
            raise KeyError("from exit")
        return self._rec.suppress == "response"


def path(*, exc=None, response=True):
    """Event log of one call that got as far as the response (or not)."""
    name = exc.__name__ if exc else None
    inner = ["response_enter", f"response_exit({name})"] if response else []
    return ["session_enter", "post", *inner, f"session_exit({name})"]
