"""A minimal in-process replacement for the aiohttp module, used by the glue
benchmarks so that what is timed is the courier functions' own work.

It is installed in a module's namespace (``kelpie.courier.aiohttp = stand_in``
and the same for the baseline module) and driven without an event loop: every
coroutine it hands out returns at once, so ``coro.send(None)`` finishes a whole
call with ``StopIteration``.  Both sides get the same stand-in.
"""

import types


class JsonDecodeFailure(Exception):
    """What the stand-in's ``json()`` raises when the body is not JSON."""


class FormData:
    """Records its fields; the keyword-only parameters are aiohttp's."""

    __slots__ = ("fields",)

    def __init__(self):
        self.fields = []

    def add_field(self, name, value, *, content_type=None, filename=None):
        self.fields.append((name, value, content_type, filename))


class _AsyncItems:
    """``async for`` over prepared items; ``__anext__`` never suspends."""

    __slots__ = ("_next",)

    def __init__(self, items):
        self._next = iter(items).__next__

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return self._next()
        except StopIteration:
            raise StopAsyncIteration from None


class Content:
    """``response.content``: lines for ``async for``, chunks for ``iter_any()``."""

    __slots__ = ("_lines", "_chunks")

    def __init__(self, lines=(), chunks=()):
        self._lines = lines
        self._chunks = chunks

    def __aiter__(self):
        return _AsyncItems(self._lines)

    def iter_any(self):
        return _AsyncItems(self._chunks)


class Response:
    __slots__ = ("status", "_json", "_text", "_json_fails", "content")

    def __init__(self, status=200, json_value=None, text="", json_fails=False, lines=(), chunks=()):
        self.status = status
        self._json = json_value
        self._text = text
        self._json_fails = json_fails
        self.content = Content(lines, chunks)

    async def json(self):
        if self._json_fails:
            raise JsonDecodeFailure("the body is not JSON")
        return self._json

    async def text(self):
        return self._text


class _Entered:
    """An asynchronous context manager entering as a prepared object."""

    __slots__ = ("_value",)

    def __init__(self, value):
        self._value = value

    async def __aenter__(self):
        return self._value

    async def __aexit__(self, exc_type, exc, tb):
        return None


class _Session:
    __slots__ = ("_request", "_log")

    def __init__(self, response, log):
        self._request = _Entered(response)
        self._log = log

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc, tb):
        return None

    def post(self, url, *, headers=None, json=None, data=None):
        if self._log is not None:
            self._log.append(("post", url, headers, json, data))
        return self._request


def make(response, log=None, form_data=FormData):
    """A module-like stand-in whose sessions answer every post with `response`.

    With a `log` list, every post records (url, headers, json, data) there."""
    session = _Session(response, log)

    def ClientSession():
        if log is not None:
            log.append(("session",))
        return session

    return types.SimpleNamespace(ClientSession=ClientSession, FormData=form_data)
