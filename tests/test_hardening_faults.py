"""Faults: servers that reset connections mid-body, send broken chunked
encoding, a line longer than aiohttp reads, or never answer; cancellation
at every await point of every courier function; the event loop closed while
a stream is suspended; a full disk under the larder writers.  Each ends with
the documented exception (the one the same steps written in Python give),
both contexts left, no unclosed-session warning, no leaked descriptor, and
no partly written file where none is promised."""

import asyncio
import errno
import gc
import io
import os
import sys
import warnings
import weakref

import aiohttp
import pytest
import requests

import kelpie.courier as courier
import kelpie.larder as larder
from tests import model
from tests.courier_support import Server
from tests.hardening_support import (BODY, LONG_LINE, SAFETY, FaultServer, ServerProcess, Suspensions, cancel_at,
                                     fd_count, outcome, run_child, settle, unclosed_warnings)
from tests.odd_objects import BadStr, Boom

call, stream, llm = courier.async_call_api, courier.async_call_api_stream, courier.async_llm_api
CE = asyncio.CancelledError


async def consumed(agen):
    """(items, exception type, message) of a whole iteration."""
    items = []
    try:
        async for item in agen:
            items.append(item)
    except Exception as exc:  # noqa: BLE001 - compared below
        return items, type(exc), str(exc)
    return items, None, None


async def awaited(coro):
    try:
        return await coro, None, None
    except Exception as exc:  # noqa: BLE001 - compared below
        return None, type(exc), str(exc)


# ---- misbehaving servers -------------------------------------------------------------------------------

FAULTS = ["/reset-headers", "/reset-body", "/close-body", "/bad-chunk", "/cut-chunk", "/long-line", "/long-header",
          "/garbage"]

# How each way of asking ends, with kelpie.courier or with the same steps
# written in Python (tests/model.py), for the faults that are not a plain
# aiohttp error.
SHAPES = {
    "call": lambda api, url: awaited(api.async_call_api(url, payload={"q": 1})),
    "call-form": lambda api, url: awaited(api.async_call_api(url, data={"q": "1"}, use_form=True)),
    "llm": lambda api, url: awaited(api.async_llm_api("p", url, "k")),
    "chunks": lambda api, url: consumed(api.async_call_api_stream(url, payload={"q": 1})),
    "sse": lambda api, url: consumed(api.async_call_api_stream(url, payload={"q": 1}, sse=True)),
}


def joined(result):
    """Chunk boundaries are the network's: compare what they add up to."""
    items, exc_type, message = result
    return (b"".join(items) if isinstance(items, list) else items), exc_type, message


def assert_contexts_left(events, exc_type):
    """The log of one call: session entered, post made, the response (if it
    was entered) left before the session, each exit handed the error."""
    name = exc_type.__name__ if exc_type else None
    assert events[:2] == ["session_enter", "post"], events
    assert events[-1] == f"session_exit({name})", events
    if "response_enter" in events:
        assert events[2:] == ["response_enter", f"response_exit({name})", f"session_exit({name})"], events
    else:
        assert len(events) == 3, events


@pytest.mark.parametrize("shape", SHAPES)
def test_misbehaving_servers(shape, install):
    """Every fault ends as the same steps written in Python end: the same
    items, then the same aiohttp exception, with the response and the
    session left, nothing unclosed, no descriptor left open."""
    before = fd_count()
    faults = FaultServer()
    try:
        for path in FAULTS:
            rec = install()

            async def both():
                url = faults.url(path)
                ours = await SHAPES[shape](courier, url)
                theirs = await SHAPES[shape](model, url)
                await settle()
                return ours, theirs

            ours, theirs = asyncio.run(both())
            if shape == "chunks":
                ours, theirs = joined(ours), joined(theirs)
            assert ours == theirs, path
            if path == "/long-line":
                assert (ours[1] is aiohttp.http_exceptions.LineTooLong) == (shape == "sse"), ours
                if shape == "sse":
                    assert ours[0] == [b"one"]
            else:
                assert issubclass(ours[1], aiohttp.ClientError), (path, ours)
            # llm goes through async_call_api: one session either way
            assert_contexts_left(rec.events, ours[1])
            rec.assert_clean()
    finally:
        faults.close()
    assert unclosed_warnings() == []
    assert fd_count() == before


@pytest.mark.parametrize("path", ["/stall", "/stall-body"])
@pytest.mark.parametrize("shape", SHAPES)
def test_server_that_stalls_forever(shape, path, install):
    """A server that never answers (or never finishes the body): the caller's
    cancellation is the only way out, and it leaves both contexts, closes the
    session and every descriptor."""
    before = fd_count()
    faults = FaultServer()
    rec = install()
    try:
        async def main():
            arrived = faults.arrived[path]
            task = asyncio.ensure_future(SHAPES[shape](courier, faults.url(path)))
            while not arrived.is_set():
                await asyncio.sleep(0.001)
            if path == "/stall-body":  # the headers are out: wait until the client holds the response
                while "response_enter" not in rec.events:
                    await asyncio.sleep(0.001)
            task.cancel()
            with pytest.raises(CE):
                await task
            await settle()

        asyncio.run(main())
    finally:
        faults.close()
    name = "CancelledError"
    if path == "/stall":
        assert rec.events == ["session_enter", "post", f"session_exit({name})"]
    else:
        assert rec.events == ["session_enter", "post", "response_enter", f"response_exit({name})",
                              f"session_exit({name})"]
    rec.assert_clean()
    assert fd_count() == before


# ---- cancellation at every await point ---------------------------------------------------------------


async def drain(agen):
    return [item async for item in agen]


async def first_then_close(agen):
    """One item, then aclose(): the early close of a consumer that had enough."""
    item = await agen.__anext__()
    await agen.aclose()
    return item


# (id, make awaitable from the in-process server, result when not cancelled)
CANCELLABLE = [
    ("call-json", lambda s: call(s.url("/echo-id"), payload={"id": 1}), {"id": 1}),
    ("call-form", lambda s: call(s.url("/echo-id"), data={"id": "2"}, files={"f": ("f.txt", io.BytesIO(b"x"))}),
     {"id": "2"}),
    ("call-form-fallback", lambda s: call(s.url("/reply", ctype="text/plain", body="t"), use_form=True), "t"),
    ("call-404", lambda s: call(s.url("/reply", status="404", body="nf")), (404, "nf")),
    ("llm", lambda s: llm("p", s.url("/reply", body='{"a": 1}'), "k"), {"a": 1}),
    ("stream-chunks", lambda s: drain(stream(s.url("/reply", body="abc"))), [b"abc"]),
    ("stream-sse", lambda s: drain(stream(s.url("/reply", body="data: x\ndata: y\n"), sse=True)), [b"x", b"y"]),
    ("stream-form", lambda s: drain(stream(s.url("/reply", body="data: z\n"), use_form=True, sse=True)), [b"z"]),
    ("stream-404", lambda s: drain(stream(s.url("/reply", status="404", body="nf"))), RuntimeError("404: nf")),
    ("stream-closed-early", lambda s: first_then_close(stream(s.url("/reply", body="data: 1\ndata: 2\n"),
                                                             sse=True)), b"1"),
]


@pytest.mark.parametrize("make, expected", [c[1:] for c in CANCELLABLE], ids=[c[0] for c in CANCELLABLE])
def test_cancellation_at_every_await_point(make, expected, install):
    """For k = 1, 2, ...: the task is cancelled exactly when the call
    suspends for the k-th time, until a run gets through without being
    cancelled.  Every cancelled run ends in CancelledError with both contexts
    left (each exit handed the cancellation or the error), and the run that
    gets through gives the ordinary result."""
    points = 0

    async def main(srv):
        nonlocal points
        base = fd_count()
        k = 0
        while True:
            k += 1
            rec = install()
            box = Suspensions(k)

            async def attempt():
                return await cancel_at(make(srv), box)

            task = asyncio.ensure_future(attempt())
            try:
                result = await task
            except CE:
                result = CE
            except Exception as exc:  # noqa: BLE001 - compared below
                result = exc
            await settle()
            if not box.cancel_requested:
                if isinstance(expected, Exception):
                    assert type(result) is type(expected) and str(result) == str(expected)
                else:
                    assert result == expected
                assert rec.events[-1].startswith("session_exit("), rec.events
                break
            assert result is CE and task.cancelled(), (k, result, rec.events)
            # whatever was entered was left, innermost first
            entered = [e for e in rec.events if e.endswith("_enter")]
            left = [e.split("(")[0] for e in rec.events if "_exit(" in e]
            assert [e.replace("_enter", "_exit") for e in reversed(entered)] == left, (k, rec.events)
            rec.assert_clean()
            assert k < 500
        points = k - 1
        await settle()
        assert fd_count() == base

    async def run_all():
        async with Server() as srv:
            srv_fds = fd_count()
            await main(srv)
            assert fd_count() == srv_fds

    asyncio.run(run_all())
    assert points >= 3  # the connection, the answer and the session's close at least
    print(f"cancelled at {points} await points")


# ---- the event loop ends while a stream is suspended ---------------------------------------------------

_held = []  # keeps a suspended stream alive past the end of its loop


def test_loop_ended_with_a_stream_suspended_at_a_yield(install):
    """asyncio.run() returns while the stream waits at a yield: the loop's
    shutdown of asynchronous generators closes it, GeneratorExit passes
    through both contexts, and nothing is left unclosed."""
    rec = install()

    async def main():
        async with Server() as srv:
            srv.scripts["k"] = [b"data: 1\n", b"data: 2\n"]
            agen = stream(srv.url("/script/k"), sse=True)
            _held.append(agen)
            assert await agen.__anext__() == b"1"
            # the server is left with the stream still open

    try:
        asyncio.run(main())
        assert rec.events == ["session_enter", "post", "response_enter", "response_exit(GeneratorExit)",
                              "session_exit(GeneratorExit)"]
        with pytest.raises(StopAsyncIteration):
            _held[0].__anext__().send(None)
    finally:
        _held.clear()
    assert unclosed_warnings() == []


def test_loop_ended_with_a_stream_suspended_in_an_await(install):
    """asyncio.run() returns while a task waits inside the stream for a
    second line that never comes: the run cancels the task, and the
    cancellation passes through both contexts."""
    rec = install()
    seen = []
    faults = FaultServer()

    async def consume():
        async for item in stream(faults.url("/stall-body"), sse=True):
            seen.append(item)

    async def main():
        asyncio.ensure_future(consume())
        while not seen:
            await asyncio.sleep(0.001)

    try:
        asyncio.run(main())
    finally:
        faults.close()
    assert seen == [b"one"]
    assert rec.events == ["session_enter", "post", "response_enter", "response_exit(CancelledError)",
                          "session_exit(CancelledError)"]
    assert unclosed_warnings() == []


LOOP_CLOSED_CHILD = r"""
import asyncio, gc, sys, warnings, weakref
sys.path.insert(0, ".")
from tests.courier_support import Server
from tests import model
import kelpie.courier as courier

warnings.simplefilter("always")
caught = []
warnings.showwarning = lambda message, category, *rest: caught.append(category.__name__)
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)

def scenario(make):
    '''The loop is closed without shutting its asynchronous generators down,
    while the stream waits at a yield; then the stream is dropped.'''
    caught.clear(); unraisable.clear()
    loop = asyncio.new_event_loop()
    held = {}

    async def main():
        srv = Server()
        await srv.__aenter__()
        srv.scripts["k"] = [b"data: 1\n", b"data: 2\n"]
        agen = make(srv.url("/script/k"))
        held["agen"] = agen
        assert await agen.__anext__() == b"1"
        held["srv"] = srv

    loop.run_until_complete(main())
    loop.close()
    ref = weakref.ref(held["agen"])
    held.clear()
    for _ in range(3):
        gc.collect()
    return ref() is None, sorted(set(caught)), sorted(set(unraisable))

ours = scenario(lambda url: courier.async_call_api_stream(url, sse=True))
theirs = scenario(lambda url: model.async_call_api_stream(url, sse=True))
print("ours", ours)
print("theirs", theirs)
assert ours[0], "the stream object was never freed"
assert ours == theirs, (ours, theirs)
"""


def test_loop_closed_under_a_suspended_stream_then_dropped():
    """A loop closed without shutting its generators down, the stream then
    dropped: the stream is freed without a crash, and leaves the same
    warnings and unraisable errors (none from the stream itself) as the same
    steps written as a Python asynchronous generator."""
    out = run_child(LOOP_CLOSED_CHILD)
    assert "ours (True," in out


# ---- a full disk and read-only places ---------------------------------------------------------------------

FULL = "/dev/full"
needs_dev_full = pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full on this system")


@needs_dev_full
@pytest.mark.parametrize("kind, args", [
    ("save_txt", (["a", 1, None], FULL)),
    ("save_txt", ("text" * 5000, FULL)),
    ("save_txt", (["a", BadStr()], FULL)),  # the element fails, then the close fails too
    ("save_txt", ((1, 2), FULL)),  # nothing to write: the close succeeds
    ("write_md", ("# title\n", FULL)),
    ("write_md", (["not text"], FULL)),
    ("create_empty_file", (FULL,)),
])
def test_writers_on_a_full_disk(kind, args):
    """Writing to /dev/full (opens, then every flush fails with ENOSPC): the
    writer raises what the same steps in Python raise (OSError, chained to
    an earlier error), or returns None when nothing had to be written, and
    closes its file either way."""
    before = fd_count()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        ours = outcome(getattr(larder, kind), *args)
        theirs = outcome(getattr(model, kind), *args)
        gc.collect()
    assert ours == theirs
    if ours[0] is OSError:
        assert "No space left on device" in ours[1]
    assert fd_count() == before


def context_chain(fn, *args):
    try:
        fn(*args)
    except BaseException as exc:  # noqa: B036 - the chain is the answer
        chain = []
        while exc is not None:
            chain.append((type(exc), getattr(exc, "errno", None)))
            exc = exc.__context__
        return chain
    return []


@needs_dev_full
def test_writer_on_a_full_disk_chains_the_first_error():
    """The element's error is not lost: the close's OSError carries it as
    its context, exactly as a with statement in Python chains them."""
    ours = context_chain(larder.save_txt, ["a", BadStr()], FULL)
    assert ours == context_chain(model.save_txt, ["a", BadStr()], FULL)
    assert ours[0] == (OSError, errno.ENOSPC) and ours[-1] == (Boom, None)


@needs_dev_full
def test_skeleton_files_on_a_full_disk(capsys):
    """Empty starter files need no space: created on a full disk without error."""
    for name in ("initialize_env", "initialize_gitignore", "initialize_txt", "initialize_md", "initialize_sh",
                 "initialize_py"):
        assert getattr(larder, name)(FULL) is None
    assert larder.initialize_file(FULL) is None
    assert capsys.readouterr().out == f"filepath: {FULL}\nfile_type: {FULL}\n"


@needs_dev_full
def test_download_onto_a_full_disk():
    """The body goes to /dev/full: the write fails, the file is closed."""
    before = fd_count()
    srv = ServerProcess()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", ResourceWarning)
            with pytest.raises(OSError) as info:
                larder.download_url_content(srv.url("/files/full"), "/dev")
            gc.collect()
    finally:
        srv.close()
    assert info.value.errno == errno.ENOSPC
    assert fd_count() == before


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories anyway")
@pytest.mark.parametrize("write", [
    lambda d: larder.save_txt(["a"], os.path.join(d, "f.txt")),
    lambda d: larder.write_md("a", os.path.join(d, "f.md")),
    lambda d: larder.create_empty_file(os.path.join(d, "f")),
    lambda d: larder.initialize_py(os.path.join(d, "f.py")),
])
def test_writers_in_a_read_only_directory(write, tmp_path):
    os.chmod(tmp_path, 0o500)
    try:
        with pytest.raises(PermissionError):
            write(str(tmp_path))
        assert os.listdir(tmp_path) == []
    finally:
        os.chmod(tmp_path, 0o700)


# ---- downloads from misbehaving servers ----------------------------------------------------------------------


@pytest.mark.parametrize("path, exc_type, partial", [
    ("/reset-headers", requests.ConnectionError, None),
    ("/garbage", requests.ConnectionError, None),
    ("/long-header", requests.ConnectionError, None),
    ("/reset-body", requests.exceptions.ChunkedEncodingError, b"d" * 3000),
    ("/close-body", requests.exceptions.ChunkedEncodingError, b"d" * 3000),
    ("/bad-chunk", requests.exceptions.ChunkedEncodingError, b"data: one\n"),
    ("/cut-chunk", requests.exceptions.ChunkedEncodingError, b"data: one\n0123456789"),
])
def test_download_from_a_misbehaving_server(path, exc_type, partial, tmp_path):
    """A failure before the body leaves no file; a failure while the body is
    read leaves the chunks written so far (a prefix of what was sent), and
    the file closed."""
    before = fd_count()
    faults = FaultServer()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", ResourceWarning)
            with pytest.raises(exc_type):
                larder.download_url_content(faults.url(path + "/out.bin"), str(tmp_path), 1000)
            gc.collect()
    finally:
        faults.close()
    target = tmp_path / "out.bin"
    if partial is None:
        assert not target.exists()
    else:
        written = target.read_bytes()
        assert partial.startswith(written)
    assert fd_count() == before
