"""Every public function of both modules, repeated thousands of times on each
of its paths (success, each documented error, cancellation, early close of a
stream): the outcome never changes, and the interpreter's objects by type,
its allocated blocks and traced memory, the process's resident memory, its
open descriptors and the reference counts of the arguments stay flat."""

import asyncio
import io
import json
import os
import sys

import aiohttp
import pytest
import requests

import kelpie.courier as courier
import kelpie.larder as larder
from tests.hardening_support import (NET_REPEAT, REPEAT, SANITIZED, FaultServer, Suspensions, aoutcome,
                                     assert_repeatable, assert_repeatable_async, cancel_at, each_repeatable, each_repeatable_async,
                                     fd_count, outcome,
                                     scratch_dir, settle)
from tests import model
from tests.courier_support import free_port
from tests.odd_objects import BadBool, BadFormat, BadFspath, BadStr, Boom

# Slow: left out of the quick run, `pytest -m "not hardening"`.
pytestmark = pytest.mark.hardening

call, stream, llm, to_formdata = (courier.async_call_api, courier.async_call_api_stream, courier.async_llm_api,
                                  courier._to_formdata)

CE = asyncio.CancelledError


def fresh(text):
    """A str object of its own (not an interned constant), so that its
    reference count is the calls' business only."""
    return "".join(list(text))


class Sink:
    """Standard output that keeps nothing (a growing buffer would look like a leak)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ---- the checks themselves notice a leak ------------------------------------------------------

_kept = []


def _leak_reference(arg):
    _kept.append(arg)


def _leak_tracked(arg):
    _kept.append([arg])


def _leak_small(arg):
    _kept.append(str(len(_kept)) * 20)  # one small block, not tracked by the collector


def _leak_large(arg):
    _kept.append(bytes(4096))  # memory outside the small-object allocator


def _leak_descriptor(arg):
    _kept.append(os.open(os.devnull, os.O_RDONLY))


@pytest.mark.parametrize("leak", [
    _leak_reference, _leak_tracked, _leak_large, _leak_descriptor,
    pytest.param(_leak_small, marks=pytest.mark.skipif(SANITIZED, reason="allocated blocks are only counted by "
                                                                         "the interpreter's own allocator")),
])
def test_the_checks_notice_one_leaked_object_per_call(leak):
    arg = fresh("argument")
    try:
        with pytest.raises(AssertionError):
            assert_repeatable(lambda: outcome(leak, arg), ("ok", None), n=400, watch=[arg])
    finally:
        for kept in _kept:
            if isinstance(kept, int):
                os.close(kept)
        _kept.clear()


# ---- courier: what the call itself refuses ----------------------------------------------------

URL = "http://127.0.0.1:9/"

BINDING = [
    ("call-too-many", lambda: call(URL, None, None, None),
     "async_call_api() takes at most 3 positional arguments (4 given)"),
    ("call-missing", lambda: call(headers={}), "async_call_api() takes at least 1 positional argument (0 given)"),
    ("call-unknown-keyword", lambda: call(URL, sse=True),
     "async_call_api() got an unexpected keyword argument 'sse'"),
    ("call-twice", lambda: call(URL, url=URL), "async_call_api() got multiple values for keyword argument 'url'"),
    ("call-url-type", lambda: call(b"u"), "Argument 'url' has incorrect type (expected str, got bytes)"),
    ("call-headers-type", lambda: call(URL, [("a", "b")]),
     "Argument 'headers' has incorrect type (expected dict, got list)"),
    ("call-use-form-truth", lambda: call(URL, use_form=BadBool()), "__bool__"),
    ("stream-too-many", lambda: stream(URL, None, None, None),
     "async_call_api_stream() takes at most 3 positional arguments (4 given)"),
    ("stream-sse-truth", lambda: stream(URL, sse=BadBool()), "__bool__"),
    ("stream-url-type", lambda: stream(None), "Argument 'url' has incorrect type (expected str, got NoneType)"),
    ("llm-missing", lambda: llm("p", URL), "async_llm_api() takes at least 3 positional arguments (2 given)"),
    ("llm-name-type", lambda: llm("p", URL, "k", None),
     "Argument 'llm_name' has incorrect type (expected str, got NoneType)"),
    ("formdata-too-many", lambda: to_formdata(None, None, None),
     "_to_formdata() takes at most 2 positional arguments (3 given)"),
]


@pytest.mark.parametrize("prefix", ["call", "stream", "llm", "formdata"])
def test_refused_calls_leave_nothing_behind(prefix):
    cases = [(name, lambda make=make: outcome(make), (Boom if message == "__bool__" else TypeError, message), [])
             for name, make, message in BINDING if name.startswith(prefix + "-")]
    assert cases
    each_repeatable(cases)


# ---- courier: the form builder -----------------------------------------------------------------


class Named(io.BytesIO):
    name = "named.bin"


class Liar:
    """Says it holds two items and gives three."""

    def __len__(self):
        return 2

    def __iter__(self):
        return iter((1, 2, 3))


_value, _key, _upload = fresh("value"), fresh("field"), Named(b"content")
_pair = (fresh("a.txt"), io.BytesIO(b"a"))
_triple = [fresh("b.txt"), io.BytesIO(b"b"), fresh("text/plain")]
_data = {_key: _value, fresh("n"): 3, fresh("none"): None}
_files = {fresh("up"): _upload, fresh("pair"): _pair, fresh("triple"): _triple}
_all = [_value, _key, _upload, _data, _files, *_pair, *_triple]
FORM_OK = ("ok", "FormData")
FORMDATA = [
    ("data-and-files", lambda: to_formdata(_data, _files), FORM_OK, _all),
    ("keywords", lambda: to_formdata(files=_files, data=_data), FORM_OK, _all),
    ("empty", lambda: to_formdata({}, {}), FORM_OK, []),
    ("bad-shape", lambda: to_formdata(None, {fresh("avatar"): (_upload,)}),
     (TypeError, "files['avatar'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"), [_upload]),
    ("bad-shape-format", lambda: to_formdata(None, {BadFormat(): (1,)}), (Boom, "__format__"), []),
    ("no-items", lambda: to_formdata([1], None), (AttributeError, "'list' object has no attribute 'items'"), []),
    ("bad-str", lambda: to_formdata({_key: BadStr()}, None), (Boom, "__str__"), [_key]),
    ("bad-truth", lambda: to_formdata(BadBool(), None), (Boom, "__bool__"), []),
    ("no-length", lambda: to_formdata(None, {_key: 5}), (TypeError, "object of type 'int' has no len()"), [_key]),
    ("unpack", lambda: to_formdata(None, {_key: Liar()}), (ValueError, "too many values to unpack (expected 2)"),
     [_key]),
]


def test_form_builder_paths_leave_nothing_behind():
    def summary(make):
        got = outcome(make)
        return ("ok", type(got[1]).__name__) if got[0] == "ok" else got

    each_repeatable([(name, lambda make=make: summary(make), expected, watch)
                     for name, make, expected, watch in FORMDATA])


# ---- courier: awaited calls against a real server ---------------------------------------------


async def drain(agen):
    return [item async for item in agen]


async def joined(agen):
    items = await drain(agen)
    assert all(items)
    return b"".join(items)


def dead_url():
    return f"http://127.0.0.1:{free_port()}/"


def call_cases(srv, api=courier):
    """(id, make awaitable, expected outcome, watched arguments), with the
    coroutine functions of api: kelpie.courier or its plain-Python twin."""
    call, stream, llm = api.async_call_api, api.async_call_api_stream, api.async_llm_api
    payload = {fresh("id"): [fresh("x"), 1.5, None]}
    headers = {fresh("X-Check"): fresh("yes")}
    data = {fresh("id"): fresh("form")}
    upload = Named(b"upload")
    files = {fresh("file"): (fresh("f.txt"), upload, fresh("text/plain"))}
    refused = dead_url()
    form_echo = {"fields": {"id": [None, "text/plain; charset=utf-8", "form"], "file": ["f.txt", "text/plain", "upload"]}}

    def form_call():
        upload.seek(0)
        return call(srv.url("/echo"), headers, payload, data=data, files=files)

    return [
        ("call-json", lambda: call(srv.url("/echo"), headers, payload), ("ok", {"json": payload}),
         [payload, headers, *payload, *headers.values()]),
        ("call-form", form_call, ("ok", form_echo), [payload, headers, data, files, upload]),
        ("call-form-text-fallback", lambda: call(srv.url("/text"), use_form=True), ("ok", "plain text"), []),
        ("call-status-404", lambda: call(srv.url("/status/404"), headers), ("ok", (404, "status 404")), [headers]),
        ("call-status-201", lambda: call(srv.url("/status/201"), payload=payload), ("ok", (201, "status 201")),
         [payload]),
        ("call-json-decode-error", lambda: call(srv.url("/text"), payload=payload),
         (aiohttp.ContentTypeError, None), [payload]),
        ("call-payload-not-json", lambda: call(srv.url("/ok"), payload={"o": payload, "x": object()}),
         (TypeError, "Object of type object is not JSON serializable"), [payload]),
        ("call-refused", lambda: call(refused, headers, payload), (aiohttp.ClientConnectorError, None),
         [payload, headers]),
        ("call-files-truth", lambda: call(srv.url("/ok"), files=BadBool()), (Boom, "__bool__"), []),
        ("call-form-builder-error", lambda: call(srv.url("/ok"), data=data, files={fresh("f"): (upload,)}),
         (TypeError, "files['f'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"),
         [data, upload]),
        ("llm", lambda: llm(fresh("prompt"), srv.url("/echo"), fresh("key")),
         ("ok", {"json": {"model": "qwen3.7-max", "messages": [{"role": "user", "content": "prompt"}]}}), []),
        ("llm-404", lambda: llm("p", srv.url("/status/404"), "k"), ("ok", (404, "status 404")), []),
        ("llm-url-type", lambda: llm("p", b"url", "k"),
         (TypeError, "Argument 'url' has incorrect type (expected str, got bytes)"), []),
        ("llm-key-format", lambda: llm("p", srv.url("/ok"), BadFormat()), (Boom, "__format__"), []),
        ("stream-chunks", lambda: joined(stream(srv.url("/sse"), headers, payload)),
         ("ok", b"".join(b"data: %d\n: comment\nevent: e\n\n" % i for i in range(3))), [headers, payload]),
        ("stream-sse", lambda: drain(stream(srv.url("/sse"), payload={"tag": "t"}, sse=True)),
         ("ok", [b"t0", b"t1", b"t2"]), []),
        ("stream-form", lambda: drain(stream(srv.url("/sse"), data=data, use_form=True, sse=True)),
         ("ok", [b"0", b"1", b"2"]), [data]),
        ("stream-404", lambda: drain(stream(srv.url("/status/404"), headers)), (RuntimeError, "404: status 404"),
         [headers]),
        ("stream-refused", lambda: drain(stream(refused)), (aiohttp.ClientConnectorError, None), []),
        ("stream-files-truth", lambda: drain(stream(srv.url("/sse"), files=BadBool())), (Boom, "__bool__"), []),
    ]


def loose(got):
    """Messages that name a port or an object are compared by type only."""
    return (got[0], None) if got[0] in (aiohttp.ContentTypeError, aiohttp.ClientConnectorError) else got


@pytest.mark.parametrize("function", ["call", "llm", "stream"])
def test_awaited_paths_leave_nothing_behind(server, function):
    """Each path beside the same path written in plain Python (whose outcome
    must be the same): aiohttp and asyncio keep a little of their own on
    some paths (a refused connection, for one) for a while, more or less
    depending on what ran before in the process; only growth beyond the
    plain twin's counts."""
    cases = [c for c in call_cases(server) if c[0].split("-")[0] == function]
    twins = [c for c in call_cases(server, model) if c[0].split("-")[0] == function]
    assert cases and [c[0] for c in twins] == [c[0] for c in cases]

    async def one(make):
        return loose(await aoutcome(make))

    asyncio.run(each_repeatable_async([(name, lambda make=make: one(make), expected, watch)
                                       for name, make, expected, watch in cases],
                                      twins=[lambda make=make: one(make) for _, make, _, _ in twins]))


def test_differential_check_notices_what_only_kelpie_adds(server):
    """The differential check passes the plain twin against itself and fails
    a path that keeps one object per call beyond what its twin keeps."""
    kept = []

    async def plain():
        return await model.async_call_api(server.url("/echo"), payload={"x": 1})

    async def leaky():
        kept.append([])
        return await plain()

    async def main():
        # enough calls for one object per call to pass the threshold, under
        # the sanitizers too (which lower the default count)
        expected = await plain()
        await assert_repeatable_async(plain, expected, n=400, twin=plain)
        with pytest.raises(AssertionError, match="list objects"):
            await assert_repeatable_async(leaky, expected, n=400, twin=plain)

    asyncio.run(main())


# ---- courier: cancellation and early close ---------------------------------------------------------


def test_cancelled_calls_leave_nothing_behind(server):
    """Cancelled at the first suspension, or once the request has reached a
    server that never answers, for both coroutine functions: the
    cancellation comes out, every time."""
    faults = FaultServer()
    try:
        asyncio.run(each_repeatable_async(cancelled_cases(server, faults)))
    finally:
        faults.close()


def cancelled_cases(server, faults):
    payload = {fresh("k"): fresh("v")}
    makers = {"call": lambda url: call(url, payload=payload), "llm": lambda url: llm("p", url, payload)}

    def first_suspension(make):
        async def cancelled():
            return await cancel_at(make(server.url("/stall")), Suspensions(1))
        return lambda: aoutcome(lambda: asyncio.ensure_future(cancelled()))

    def at_the_server(make):
        async def cancelled():
            arrived = faults.arrived["/stall"]
            arrived.clear()
            task = asyncio.ensure_future(make(faults.url("/stall")))
            while not arrived.is_set():
                await asyncio.sleep(0.001)
            task.cancel()
            return await task
        return lambda: aoutcome(cancelled)

    return [(f"{name}-{when.__name__}", when(make), (CE, ""), [payload])
            for name, make in makers.items() for when in (first_suspension, at_the_server)]


def test_streams_closed_early_leave_nothing_behind(server):
    """Closed after the first item in each way a consumer can: break and
    aclose(), athrow(), dropped (the loop's finaliser closes it), cancelled
    while waiting for the next item; and cancelled before the first."""
    asyncio.run(each_repeatable_async(closed_early_cases(server)))


def closed_early_cases(server):
    headers = {fresh("X-A"): fresh("b")}

    async def broken_off():
        agen = stream(server.url("/sse"), headers, sse=True)
        async for item in agen:
            break
        await agen.aclose()
        return item

    async def thrown_into():
        agen = stream(server.url("/sse"), headers, sse=True)
        await agen.__anext__()
        await agen.athrow(Boom("thrown"))

    async def dropped():
        agen = stream(server.url("/sse"), headers, sse=True)
        item = await agen.__anext__()
        del agen  # the loop's finaliser hook schedules aclose()
        await asyncio.sleep(0)
        while len(asyncio.all_tasks()) > 1:
            await asyncio.sleep(0)
        return item

    async def cancelled_midstream():
        got_one = asyncio.Event()

        async def consume():
            async for _ in stream(server.url("/stall-body"), headers, sse=True):
                got_one.set()

        task = asyncio.ensure_future(consume())
        await got_one.wait()
        task.cancel()
        return await task

    async def cancelled_first():
        return await cancel_at(drain(stream(server.url("/stall"), headers)), Suspensions(1))

    return [
        ("break-and-aclose", lambda: aoutcome(broken_off), ("ok", b"0"), [headers]),
        ("athrow", lambda: aoutcome(thrown_into), (Boom, "thrown"), [headers]),
        ("dropped", lambda: aoutcome(dropped), ("ok", b"0"), [headers]),
        ("cancelled-midstream", lambda: aoutcome(cancelled_midstream), (CE, ""), [headers]),
        ("cancelled-first", lambda: aoutcome(lambda: asyncio.ensure_future(cancelled_first())), (CE, ""), [headers]),
    ]


def test_objects_never_started(server):
    """Created and closed (or dropped) without being awaited or iterated."""
    headers = {fresh("X-A"): fresh("b")}

    async def op():
        coro = call(server.url("/ok"), headers)
        coro.close()
        agen = stream(server.url("/ok"), headers)
        await agen.aclose()
        llm("p", server.url("/ok"), headers).close()
        stream(server.url("/ok"), headers)  # dropped unstarted: nothing to close
        return fd_count()

    async def main():
        await settle()
        expected = await op()
        await assert_repeatable_async(op, expected, n=REPEAT, watch=[headers])

    asyncio.run(main())


# ---- larder: whole-file helpers, configuration, skeleton, download -------------------------------


def larder_cases(d, srv, module=larder):
    """(id, op, expected outcome, watched arguments) for every function and
    each of its documented paths, in the directory d, called on `module`
    (kelpie.larder, or the plain-Python model of it)."""
    p = lambda *names: os.path.join(d, *names)  # noqa: E731
    with open(p("data.json"), "w") as f:
        f.write('{"a": [1, 2.5, null, "x"]}')
    with open(p("bad.json"), "w") as f:
        f.write("{not json")
    with open(p("text.txt"), "w", encoding="utf-8") as f:
        f.write("héllo\nwörld\n")
    with open(p("latin.txt"), "wb") as f:
        f.write(b"caf\xe9\n")
    with open(p("config.yaml"), "w") as f:
        f.write("a: 1\nb: [x, y]\n")
    with open(p("two.yaml"), "w") as f:
        f.write("a: 1\n---\nb: 2\n")
    with open(p("tag.yaml"), "w") as f:
        f.write("!!python/object:os.system x\n")
    os.mkdir(p("dir"))
    with open(p("plain"), "w"):
        pass

    enc = fresh("utf-8")
    text_path, out_path, md_path = fresh(p("text.txt")), fresh(p("out.txt")), fresh(p("out.md"))
    lines = [fresh("a"), 1, None, fresh("ü")]
    content = fresh("# title\nbody\n")
    missing = fresh(p("no", "such.txt"))
    missing_name = "No such file or directory"
    catalogue = [fresh("a.txt"), fresh("sub"), {fresh("dict"): [fresh("b.md"), 7, {fresh("deep"): None}]}]
    url = fresh(srv.url("/files/payload.bin"))
    save_dir = fresh(p("dl"))
    os.mkdir(save_dir)
    saved = os.path.join(save_dir, "payload.bin")
    refused = f"http://127.0.0.1:{free_port()}/files/x.bin"

    def fnf(path):
        return FileNotFoundError, f"[Errno 2] {missing_name}: {path!r}"

    def kinds(name):
        fn = getattr(module, name)
        return [
            (f"{name}", lambda: fn(fresh(p(f"{name}.txt")), encoding=enc), ("ok", None), [enc]),
            (f"{name}-missing-dir", lambda: fn(missing, enc), fnf(missing), [missing, enc]),
            (f"{name}-encoding-type", lambda: fn(p("x"), None),
             (TypeError, "Argument 'encoding' has incorrect type (expected str, got NoneType)"), []),
        ]

    def answered(text):
        def dialogue():
            sys.stdin = io.StringIO(text)
            return module.gen_catalogue()
        return dialogue

    dl = module.download_url_content

    cases = [
        ("read_json", lambda: module.read_json(fresh(p("data.json"))), ("ok", {"a": [1, 2.5, None, "x"]}), []),
        ("read_json-decode-error", lambda: module.read_json(p("bad.json")),
         (json.JSONDecodeError,
          "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
         []),
        ("read_json-missing", lambda: module.read_json(missing), fnf(missing), [missing]),
        ("read_json-directory", lambda: module.read_json(p("dir")),
         (IsADirectoryError, f"[Errno 21] Is a directory: {p('dir')!r}"), []),
        ("read_json-path-type", lambda: module.read_json(b"x"),
         (TypeError, "Argument 'path' has incorrect type (expected str, got bytes)"), []),
        ("read_txt", lambda: module.read_txt(text_path, enc), ("ok", "héllo\nwörld\n"), [text_path, enc]),
        ("read_txt-undecodable", lambda: module.read_txt(p("latin.txt")),
         (UnicodeDecodeError, "'utf-8' codec can't decode byte 0xe9 in position 3: invalid continuation byte"), []),
        ("read_txt-unknown-encoding", lambda: module.read_txt(text_path, "no-such-codec"),
         (LookupError, "unknown encoding: no-such-codec"), [text_path]),
        ("read_txt-fspath", lambda: module.read_txt(BadFspath()), (Boom, "__fspath__"), []),
        ("read_txt-encoding-type", lambda: module.read_txt(text_path, None),
         (TypeError, "Argument 'encoding' has incorrect type (expected str, got NoneType)"), [text_path]),
        ("save_txt-list", lambda: module.save_txt(lines, out_path), ("ok", None),
         [lines, out_path, lines[0], lines[3]]),
        ("save_txt-str", lambda: module.save_txt(content, out_path), ("ok", None), [content, out_path]),
        ("save_txt-other", lambda: module.save_txt((content,), out_path), ("ok", None), [content, out_path]),
        ("save_txt-bad-element", lambda: module.save_txt([content, BadStr()], out_path), (Boom, "__str__"),
         [content, out_path]),
        ("save_txt-missing-dir", lambda: module.save_txt(lines, missing), fnf(missing), [lines, missing]),
        ("save_txt-path-type", lambda: module.save_txt(lines, None),
         (TypeError, "Argument 'save_path' has incorrect type (expected str, got NoneType)"), [lines]),
        ("load_config", lambda: module.load_config(fresh(p("config.yaml")), enc), ("ok", {"a": 1, "b": ["x", "y"]}),
         [enc]),
        ("load_config-two-documents", lambda: outcome_type(module.load_config, p("two.yaml")), ("ok", "ComposerError"),
         []),
        ("load_config-unsafe-tag", lambda: outcome_type(module.load_config, p("tag.yaml")),
         ("ok", "ConstructorError"), []),
        ("load_config-missing", lambda: module.load_config(missing), fnf(missing), [missing]),
        ("read_md", lambda: module.read_md(text_path, None), ("ok", "héllo\nwörld\n"), [text_path]),
        ("read_md-undecodable", lambda: module.read_md(p("latin.txt"), enc),
         (UnicodeDecodeError, "'utf-8' codec can't decode byte 0xe9 in position 3: invalid continuation byte"),
         [enc]),
        ("write_md", lambda: module.write_md(content, md_path, enc), ("ok", None), [content, md_path, enc]),
        ("write_md-not-text", lambda: module.write_md(lines, md_path),
         (TypeError, "write() argument must be str, not list"), [lines, md_path]),
        ("write_md-unencodable", lambda: module.write_md(content + "\udc80", md_path, "ascii"),
         (UnicodeEncodeError, "'ascii' codec can't encode character '\\udc80' in position 13: ordinal not in range(128)"),
         [md_path]),
        ("create_empty_file", lambda: module.create_empty_file(out_path, enc), ("ok", None), [out_path, enc]),
        ("create_empty_file-missing-dir", lambda: module.create_empty_file(missing), fnf(missing), [missing]),
        *kinds("initialize_env"), *kinds("initialize_gitignore"), *kinds("initialize_txt"),
        *kinds("initialize_md"), *kinds("initialize_sh"), *kinds("initialize_py"),
        ("initialize_file", lambda: module.initialize_file(md_path), ("ok", None), [md_path]),
        ("initialize_file-reported-failure", lambda: module.initialize_file(missing), ("ok", None), [missing]),
        ("initialize_file-path-type", lambda: module.initialize_file(b"x.md"),
         (TypeError, "Argument 'filepath' has incorrect type (expected str, got bytes)"), []),
        ("initialize_catalogue", lambda: module.initialize_catalogue(fresh(p("cat")), catalogue), ("ok", None),
         [catalogue, *catalogue]),
        ("initialize_catalogue-over-a-file", lambda: module.initialize_catalogue(p("plain"), catalogue),
         (FileExistsError, f"[Errno 17] File exists: {p('plain')!r}"), [catalogue]),
        ("main", lambda: module.main(fresh("proj"), fresh(p("projects"))), ("ok", None), []),
        ("main-over-a-file", lambda: module.main("x", p("plain")),
         (NotADirectoryError, f"[Errno 20] Not a directory: {p('plain', 'x')!r}"), []),
        ("main-name-type", lambda: module.main(None),
         (TypeError, "Argument 'name' has incorrect type (expected str, got NoneType)"), []),
        ("gen_catalogue", answered(f"demo\ny\n{p('gen')}\n"), ("ok", None), []),
        ("gen_catalogue-refused", answered("demo\nn\n"), (SystemExit, "None"), []),
        ("gen_catalogue-end-of-input", answered("demo\n"), (EOFError, "EOF when reading a line"), []),
        ("gen_catalogue-arguments", lambda: module.gen_catalogue(1),
         (TypeError, "gen_catalogue() takes no arguments (1 given)"), []),
        ("download_url_content", lambda: dl(url, save_dir, 1024.9), ("ok", saved), [url, save_dir]),
        ("download_url_content-404", lambda: dl(srv.url("/missing/x.bin"), save_dir),
         (requests.HTTPError, f"404 Client Error: Not Found for url: {srv.url('/missing/x.bin')}"), [save_dir]),
        ("download_url_content-refused", lambda: dl(refused, save_dir), (requests.ConnectionError, None), [save_dir]),
        ("download_url_content-no-file-name", lambda: dl(srv.url("/files/"), save_dir),
         (IsADirectoryError, f"[Errno 21] Is a directory: {save_dir + '/'!r}"), [save_dir]),
        ("download_url_content-chunk-size-type", lambda: dl(url, save_dir, "8"),
         (TypeError, "Argument 'chunk_size' has incorrect type (expected int, got str)"), [url, save_dir]),
        ("download_url_content-chunk-size-nan", lambda: dl(url, save_dir, float("nan")),
         (ValueError, "cannot convert float NaN to integer"), [url, save_dir]),
        ("download_url_content-bad-url", lambda: dl("http://[::1/x", save_dir),
         (ValueError, "Invalid IPv6 URL"), [save_dir]),
    ]
    return [(name, lambda op=op: tidy(outcome(op)), expected, watch) for name, op, expected, watch in cases]


def tidy(got):
    """A refused connection's message names an object address: its type is enough."""
    return (got[0], None) if got[0] is requests.ConnectionError else got


def outcome_type(fn, *args):
    """The name of the exception fn raises (PyYAML's messages carry marks)."""
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - its type is the answer
        return type(exc).__name__
    return None


LARDER_FUNCTIONS = ["read_json", "read_txt", "save_txt", "load_config", "read_md", "write_md", "create_empty_file",
                    "initialize_env", "initialize_gitignore", "initialize_txt", "initialize_md", "initialize_sh",
                    "initialize_py", "initialize_file", "initialize_catalogue", "main", "gen_catalogue",
                    "download_url_content"]


@pytest.mark.parametrize("function", LARDER_FUNCTIONS)
def test_larder_paths_leave_nothing_behind(function, server, monkeypatch):
    # here, not in a fixture: the capture of the test's output is put back
    # in place of a fixture's between the setup and the call
    monkeypatch.setattr(sys, "stdout", Sink())
    monkeypatch.setattr(sys, "stdin", io.StringIO())
    with scratch_dir() as d:
        cases = [c for c in larder_cases(d, server) if c[0] == function or c[0].startswith(function + "-")]
        assert cases
        slow = function in ("main", "gen_catalogue", "download_url_content")
        each_repeatable(cases, n=NET_REPEAT if slow else REPEAT)
