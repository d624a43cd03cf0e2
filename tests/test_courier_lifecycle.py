"""Session and response lifetimes on every path, cancellation, and the
coroutine / async-generator protocol of the objects the functions return."""

import asyncio
import gc
import inspect
import io
import sys
import warnings
import weakref

import aiohttp
import pytest

from tests.courier_support import SAFETY, Server, courier, free_port, path, run
from tests.odd_objects import BadBool, Boom

call, stream, llm = courier.async_call_api, courier.async_call_api_stream, courier.async_llm_api
CE, GE = asyncio.CancelledError, GeneratorExit


def dead_url(_):
    return f"http://127.0.0.1:{free_port()}/"


async def until(condition):
    while not condition():
        await asyncio.sleep(0.001)


async def drain(agen):
    return [item async for item in agen]


# (name, make awaitable from server, expected result or exception type, events; None = computed from error)
CALL_PATHS = [
    ("ok", lambda s: call(s.url("/reply")), {"ok": True}, path()),
    ("404", lambda s: call(s.url("/reply", status="404", body="nf")), (404, "nf"), path()),
    ("form-fallback", lambda s: call(s.url("/reply", ctype="text/plain", body="t"), use_form=1), "t", path()),
    ("decode-error", lambda s: call(s.url("/reply", ctype="text/plain")), aiohttp.ContentTypeError,
     path(exc=aiohttp.ContentTypeError)),
    ("refused", lambda s: call(dead_url(s)), aiohttp.ClientConnectionError, None),
    ("form-builder", lambda s: call(s.url("/reply"), files={"avatar": (1,)}), TypeError,
     ["session_enter", "session_exit(TypeError)"]),
    ("files-truth", lambda s: call(s.url("/reply"), files=BadBool()), Boom, ["session_enter", "session_exit(Boom)"]),
    ("files-truth-form", lambda s: call(s.url("/reply"), files=BadBool(), use_form=True), Boom,
     ["session_enter", "session_exit(Boom)"]),
    ("llm", lambda s: llm("p", s.url("/reply"), "k"), {"ok": True}, path()),
    ("stream-ok", lambda s: drain(stream(s.url("/reply"))), [b'{"ok": true}'], path()),
    ("stream-sse-ok", lambda s: drain(stream(s.url("/reply", body="data: x"), sse=True)), [b"x"], path()),
    ("stream-404", lambda s: drain(stream(s.url("/reply", status="404"))), RuntimeError, path(exc=RuntimeError)),
    ("stream-refused", lambda s: drain(stream(dead_url(s))), aiohttp.ClientConnectionError, None),
    ("stream-form-builder", lambda s: drain(stream(s.url("/reply"), files={"a": b""})), TypeError,
     ["session_enter", "session_exit(TypeError)"]),
    ("stream-files-truth", lambda s: drain(stream(s.url("/reply"), files=BadBool(), use_form=True)), Boom,
     ["session_enter", "session_exit(Boom)"]),
]


@pytest.mark.parametrize("make, expected, events", [c[1:] for c in CALL_PATHS], ids=[c[0] for c in CALL_PATHS])
def test_response_is_left_before_session_on_every_path(install, make, expected, events):
    rec = install()

    async def go(srv):
        try:
            return await make(srv)
        except Exception as exc:  # compared below
            return exc

    result = run(go)
    if isinstance(expected, type):
        assert isinstance(result, expected)
        if events is None:
            events = path(exc=type(result), response=False)
    else:
        assert result == expected
    assert rec.events == events
    assert rec.session_args == [((), {})] and len(rec.real_sessions) == 1
    assert all(rec.exc_visible_in_exit)  # each exit runs while its exception is being handled


REPLACED_PATHS = [c for c in CALL_PATHS if c[0] in ("ok", "stream-ok")]


@pytest.mark.parametrize("make, expected", [c[1:3] for c in REPLACED_PATHS], ids=[c[0] for c in REPLACED_PATHS])
def test_context_methods_replaced_on_the_class_are_the_ones_called(install, monkeypatch, make, expected):
    """Special methods are looked up on the type, and the lookup is
    remembered between calls: a class changed after the first call must be
    seen by the second."""
    from tests import courier_support

    rec = install()

    async def go(srv):
        first = await make(srv)
        for cls in (courier_support._SessionProxy, courier_support._ResponseProxy):
            for name in ("__aenter__", "__aexit__"):

                async def replaced(self, *args, _old=getattr(cls, name), _tag=f"{cls.__name__}.{name}"):
                    rec.events.append(_tag)
                    return await _old(self, *args)

                monkeypatch.setattr(cls, name, replaced)
        return first, await make(srv)

    assert run(go) == (expected, expected)
    assert rec.events == path() + [
        "_SessionProxy.__aenter__", "session_enter", "post", "_ResponseProxy.__aenter__", "response_enter",
        "_ResponseProxy.__aexit__", "response_exit(None)", "_SessionProxy.__aexit__", "session_exit(None)",
    ]


STALLS = [
    # (name, recorder stall, server phase, kwargs for the call, events)
    ("session-enter", "session_enter", None, {}, []),
    ("headers", None, "headers", {}, ["session_enter", "post", "session_exit(CancelledError)"]),
    ("json-body", None, "body", {}, path(exc=CE)),
    ("form-body", None, "body", {"use_form": True}, path(exc=CE)),
    ("error-text", None, "body", {"status": "404"}, path(exc=CE)),
    ("response-exit", "response_exit", None, {}, path()[:-1] + ["session_exit(CancelledError)"]),
    ("session-exit", "session_exit", None, {}, path()),
]


@pytest.mark.parametrize("stall, phase, kwargs, events", [s[1:] for s in STALLS], ids=[s[0] for s in STALLS])
def test_cancelling_a_call_leaves_both_contexts(install, stall, phase, kwargs, events):
    rec = install(stall=stall)

    async def go(srv):
        kw = dict(kwargs)
        url = srv.url("/stall/k", phase=phase, status=kw.pop("status", "200")) if phase else srv.url("/reply")
        task = asyncio.ensure_future(call(url, **kw))
        await asyncio.wait_for(srv.arrival("k").wait() if phase else rec.stalled.wait(), SAFETY)
        if phase == "body":  # the headers are sent: wait until the client has taken them
            await asyncio.wait_for(until(lambda: "response_enter" in rec.events), SAFETY)
        task.cancel()
        with pytest.raises(CE):
            await task
        return task.cancelled()

    assert run(go) is True
    assert rec.events == events


@pytest.mark.parametrize("phase, events", [
    ("headers", ["session_enter", "post", "session_exit(CancelledError)"]),
    ("midstream", path(exc=CE)),
])
def test_cancelling_a_stream_consumer_leaves_both_contexts(install, phase, events):
    rec = install()

    async def consume(agen, seen, got_one):
        async for item in agen:
            seen.append(item)
            got_one.set()

    async def go(srv):
        seen, got_one = [], asyncio.Event()
        task = asyncio.ensure_future(consume(stream(srv.url("/stall/k", phase=phase), sse=True), seen, got_one))
        await srv.wait_arrival("k")
        if phase == "midstream":
            await asyncio.wait_for(got_one.wait(), SAFETY)
        task.cancel()
        with pytest.raises(CE):
            await task
        return seen

    assert run(go) == ([b"one"] if phase == "midstream" else [])
    assert rec.events == events


@pytest.mark.parametrize("options, last", [
    ({"suppress": "response"}, "session_exit(None)"),
    ({"suppress": "session"}, "session_exit(ContentTypeError)"),
    ({"raise_in_response_exit": True}, "session_exit(KeyError)"),
])
def test_exit_answers_decide_the_outcome(install, options, last):
    rec = install(**options)

    async def go(srv):
        try:
            return await call(srv.url("/reply", ctype="text/plain"))
        except KeyError as exc:
            return exc

    result = run(go)
    if "suppress" in options:  # a true answer swallows the error; nothing follows, so None
        assert result is None
    else:  # the exit's own error replaces the original, which becomes its context
        assert isinstance(result, KeyError) and isinstance(result.__context__, aiohttp.ContentTypeError)
    assert rec.events == path(exc=aiohttp.ContentTypeError)[:-1] + [last]


async def close_early(box, how, rec):
    agen = box.pop()  # the only reference
    if how == "break":
        async for _ in agen:
            break
        assert "response_exit(None)" not in rec.events and not rec.session_left.is_set()
        await agen.aclose()
    elif how == "athrow":
        with pytest.raises(Boom):
            await agen.athrow(Boom)
    else:  # dropped: the loop's async-generator finaliser closes it
        ref = weakref.ref(agen)
        del agen
        gc.collect()
        await asyncio.wait_for(rec.session_left.wait(), SAFETY)
        gc.collect()
        assert ref() is None
        return
    with pytest.raises(StopAsyncIteration):
        await agen.__anext__()


@pytest.mark.parametrize("how, exc", [("break", GE), ("athrow", Boom), ("dropped", GE)])
def test_stream_closed_at_a_yield(install, how, exc):
    rec = install()

    async def go(srv):
        srv.scripts["k"] = [b"data: 1\n", b"data: 2\n", b"data: 3\n"]
        box = [stream(srv.url("/script/k"), sse=True)]
        assert await box[0].asend(None) == b"1"
        await close_early(box, how, rec)

    run(go)
    assert rec.events == path(exc=exc)


def test_unstarted_objects_touch_nothing(install):
    rec = install()

    async def go(srv):
        agen = stream(srv.url("/reply"))
        await agen.aclose()
        with pytest.raises(StopAsyncIteration):
            await agen.__anext__()
        stream(srv.url("/reply"), files={"f": io.BytesIO()})
        call(srv.url("/reply")).close()
        llm("p", srv.url("/reply"), "k").close()
        gc.collect()
        return srv.received

    assert run(go) == []
    assert rec.session_args == [] and rec.events == []


# ------------------------------------------------------------------ coroutine protocol

MAKERS = [("async_call_api", lambda url: call(url)), ("async_llm_api", lambda url: llm("p", url, "k"))]


@pytest.mark.parametrize("name, make", MAKERS, ids=[m[0] for m in MAKERS])
def test_coroutine_object_basics(name, make):
    coro = make("http://127.0.0.1:1/")
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    assert coro.__name__ == coro.__qualname__ == name
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        coro.send(1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro.close()
        make("http://127.0.0.1:1/").close()
        del coro
        gc.collect()
    assert caught == []
    with pytest.warns(RuntimeWarning, match=f"^coroutine '{name}' was never awaited"):
        make("http://127.0.0.1:1/")
        gc.collect()


async def plain_call_api(url, headers=None, payload=None, *, data=None, files=None, use_form=False):
    pass


def made_here(f):
    return f("http://127.0.0.1:1/")


def made_within(f):
    return made_here(f)


@pytest.mark.parametrize("depth", [0, 1, 2, 5])
def test_origin_and_the_never_awaited_warning_as_for_async_def(depth):
    """cr_origin under sys.set_coroutine_origin_tracking_depth, and the
    warning of a coroutine dropped unawaited that names it (the function
    names masked)."""
    seen = []
    saved = sys.get_coroutine_origin_tracking_depth()
    try:
        for f in (courier.async_call_api, plain_call_api):
            sys.set_coroutine_origin_tracking_depth(depth)
            coro = made_within(f)
            sys.set_coroutine_origin_tracking_depth(0)
            origin = coro.cr_origin
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                del coro
                gc.collect()
            seen.append((origin, [(str(w.message).replace(f.__name__, "f"), w.category, w.filename, w.lineno,
                                   type(w.source).__name__) for w in caught]))
    finally:
        sys.set_coroutine_origin_tracking_depth(saved)
    assert seen[0] == seen[1]
    origin = seen[0][0]
    assert origin is None if depth == 0 else [frame[2] for frame in origin[:2]] == ["made_here", "made_within"][:depth]


@pytest.mark.parametrize("name, make", MAKERS, ids=[m[0] for m in MAKERS])
def test_awaited_coroutine_cannot_be_reused(name, make):
    async def go(srv):
        coro = make(srv.url("/reply"))
        first = await coro
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            await coro
        return first

    assert run(go) == {"ok": True}


async def by_hand(coro):
    """Drive a coroutine with send(): its result arrives as StopIteration.value."""
    while True:
        try:
            fut = coro.send(None)
        except StopIteration as stop:
            return stop.value
        if fut is None:
            await asyncio.sleep(0)
        else:
            fut._asyncio_future_blocking = False
            await fut


@pytest.mark.parametrize("make, expected", [
    (lambda s: call(s.url("/reply", status="404", body="nf")), (404, "nf")),
    (lambda s: llm("p", s.url("/reply", body="[1, [2]]"), "k"), [1, [2]]),
    (lambda s: stream(s.url("/reply", body="abc")).__anext__(), b"abc"),
])
def test_results_survive_being_driven_by_send(make, expected):
    assert run(lambda s: by_hand(make(s))) == expected


@pytest.mark.parametrize("make", [
    lambda p: stream("http://127.0.0.1:1/", payload=p),
    lambda p: call("http://127.0.0.1:1/", payload=p),
])
def test_reference_cycles_through_arguments_are_collected(make):
    class Holder:
        pass

    holder = Holder()
    holder.obj = make(holder)
    ref = weakref.ref(holder)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the dropped coroutine was never awaited
        del holder
        gc.collect()
    assert ref() is None


async def in_task_group(coro):
    async with asyncio.TaskGroup() as tg:
        task = tg.create_task(coro)
    return task.result()


RUNNERS = {
    "await": lambda c: c,
    "by_hand": by_hand,
    "create_task": lambda c: asyncio.get_running_loop().create_task(c),
    "ensure_future": asyncio.ensure_future,
    "gather": lambda c: asyncio.gather(c),
    "wait_for": lambda c: asyncio.wait_for(c, SAFETY),
    "shield": asyncio.shield,
}
if sys.version_info >= (3, 11):
    RUNNERS["task_group"] = in_task_group


@pytest.mark.parametrize("runner", RUNNERS.values(), ids=RUNNERS.keys())
def test_runs_under_asyncio_drivers(runner):
    async def go(srv):
        result = await runner(call(srv.url("/echo-id"), payload={"id": 7}))
        return result[0] if isinstance(result, list) else result

    assert run(go) == {"id": 7}


def test_call_and_stream_under_uvloop():
    uvloop = pytest.importorskip("uvloop")

    async def main():
        async with Server() as srv:
            srv.scripts["u"] = [b"data: a\n", b"data: b\n"]
            answer = await call(srv.url("/echo-id"), payload={"id": 9})
            items = [item async for item in stream(srv.url("/script/u"), sse=True)]
            return answer, items

    loop = uvloop.new_event_loop()
    try:
        assert loop.run_until_complete(main()) == ({"id": 9}, [b"a", b"b"])
        loop.run_until_complete(loop.shutdown_asyncgens())
    finally:
        loop.close()


# ------------------------------------------------------------------ async generator protocol


def test_async_generator_protocol():
    async def go(srv):
        srv.scripts["k"] = [b"x", b"y"]
        agen = stream(srv.url("/script/k"))
        assert agen.__aiter__() is agen
        assert weakref.ref(agen)() is agen
        # (on another generator: from 3.13 on, closing a step throws
        # GeneratorExit into its generator, which ends one not yet started)
        other = stream(srv.url("/script/k"))
        for awaitable in (other.asend(None), other.athrow(Boom)):
            assert asyncio.iscoroutine(awaitable)
            awaitable.close()
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started async generator$"):
            await agen.asend(1)
        step = agen.__anext__()
        assert asyncio.iscoroutine(step) and inspect.isawaitable(step)
        items = [await step]
        async for item in agen:
            items.append(item)
        for _ in range(2):
            with pytest.raises(StopAsyncIteration):
                await agen.__anext__()
        closing = agen.aclose()
        assert asyncio.iscoroutine(closing)
        await closing
        return items

    assert b"".join(run(go)) == b"xy"


def test_advancing_a_running_generator_is_refused():
    async def go(srv):
        agen = stream(srv.url("/stall/k", phase="headers"))
        first = asyncio.ensure_future(agen.__anext__())
        await srv.wait_arrival("k")
        for make, what in [(agen.__anext__, "anext"), (agen.aclose, "aclose"), (lambda: agen.athrow(Boom), "athrow")]:
            with pytest.raises(RuntimeError, match=rf"^{what}\(\): asynchronous generator is already running$"):
                await make()
        srv.release.set()
        item = await first
        await agen.aclose()
        return item

    assert run(go) == b"late"


# ------------------------------------------------------------------ await chains

def await_chain(coro):
    """The frames an await-chain walker (asyncio's call graph) passes through,
    from a suspended coroutine down, the body's own named "body"; and what
    the chain ends at."""
    names = []
    while coro is not None and hasattr(coro, "cr_await"):
        if coro.cr_frame is not None:
            name = coro.cr_frame.f_code.co_name
            names.append("body" if name in ("kelpie.courier.async_call_api", "_call_api") else name)
        coro = coro.cr_await
    return names, type(coro).__name__


@pytest.mark.parametrize("flavour", ["await", "gencoro", "native"])
def test_await_chain_goes_on_through_the_call(flavour):
    from tests.protocol_world import Side, World

    seen = []
    for side_name in ("kelpie", "plain"):
        with Side(side_name, World(flavour=flavour)) as side:
            async def user():
                return await side.module.async_call_api("http://x/")

            coro = user()
            assert coro.send(None) == "session_enter"
            seen.append(await_chain(coro))
            coro.close()
    assert seen[0] == seen[1] and seen[0][0][:2] == ["user", "body"]


@pytest.mark.skipif(sys.version_info < (3, 14), reason="asyncio's call graph is new in 3.14")
def test_asyncio_call_graph_shows_the_call():
    from tests.protocol_world import Side, World

    seen = []
    for side_name in ("kelpie", "plain"):
        with Side(side_name, World(flavour="native")) as side:
            async def user():
                return await side.module.async_call_api("http://x/")

            async def main():
                task = asyncio.ensure_future(user())
                await asyncio.sleep(0)
                graph = asyncio.capture_call_graph(task)
                task.cancel()
                return [entry.frame.f_code.co_name for entry in graph.call_stack]

            names = asyncio.run(main())
            seen.append(["body" if n in ("kelpie.courier.async_call_api", "_call_api") else n for n in names])
    assert seen[0] == seen[1] and "body" in seen[0]


# ------------------------------------------------------------------ the exception being handled

def handling_seen_by_a_generator(call):
    """A generator that makes a call while an outer frame handles KeyError,
    and later, outside that handler, looks at sys.exc_info() and at the
    context a new exception gets."""
    def p():
        yield
        try:
            call()
        except Exception as e:  # noqa: BLE001 - what the call ended with is compared too
            made = type(e).__name__
        else:
            made = None
        yield
        try:
            raise ValueError("later")
        except ValueError as e:
            context = e.__context__
        yield made, sys.exc_info()[1], context

    g = p()
    next(g)
    try:
        raise KeyError("outer")
    except KeyError:
        next(g)
    made, seen, context = next(g)
    return made, repr(seen), type(context).__name__


def form_call_whose_json_fails(side_name):
    from tests.protocol_world import Side, World

    def call():
        with Side(side_name, World(json_fails=True)) as side:
            coro = side.module.async_call_api("http://x/", use_form=True)
            try:
                while True:
                    coro.send(None)
            except StopIteration:
                pass
    return call


def text_read_that_fails(side_name, path):
    from kelpie import larder
    return lambda: (larder if side_name == "kelpie" else model_module()).read_txt(str(path))


def model_module():
    from tests import model
    return model


@pytest.mark.parametrize("case", ["coroutine handles json()'s error", "with exit handles a decode error"])
def test_what_a_call_handles_stays_out_of_the_callers_entry(case, tmp_path):
    path = tmp_path / "latin1.txt"
    path.write_bytes("café".encode("latin-1"))
    seen = []
    for side_name in ("kelpie", "plain"):
        call = (form_call_whose_json_fails(side_name) if case.startswith("coroutine")
                else text_read_that_fails(side_name, path))
        seen.append(handling_seen_by_a_generator(call))
    assert seen[0] == seen[1] and seen[0][1:] == ("None", "NoneType")
