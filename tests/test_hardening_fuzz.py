"""Property-based tests: every function called with generated arguments of
every kind (odd objects whose __bool__, __str__, __format__, __len__,
__index__, __fspath__, items or read raise; subclasses of the built-in
types; keyword names that are not strings) must give what the described
behaviour gives, as the same steps written in Python give it, or the
described exception, never a crash; and an event-stream fuzzer that sends
random bytes, split at random points, through a real local server and
compares every item with the line rule applied in Python.

Each group runs in a child interpreter of its own, so that a crash shows up
as a failing test with the child's output."""

import asyncio
import ctypes
import decimal
import fractions
import inspect
import io
import os
import pathlib
import shutil
import sys
import types
from contextlib import redirect_stdout

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests import model
from tests.hardening_support import EXAMPLES, FUZZ, ServerProcess, attempt, run_child
from tests.odd_objects import (BadBool, BadEq, BadFormat, BadFspath, BadIndex, BadInt, BadItems, BadItemsLookup, BadIter,
                               BadLen, BadRead, BadReader, BadStr, Boom, DictSub, IntSub, ListSub, NotStrBool,
                               RecordingAiohttp, RecordingForm, StrSub)

# Slow: left out of the quick run, `pytest -m "not hardening"`.
pytestmark = pytest.mark.hardening

ODD = [None, True, False, 0, 1, -1, 2**70, 1.5, -0.0, float("nan"), float("inf"), 1j, b"", b"ab", b"abc",
       bytearray(b"x"), "", "x", "a.b", StrSub("s.txt"), [], ["a"], ListSub(["a.md"]), (), ("a", "b"), ("a", "b", "c"),
       {}, {"k": "v"}, DictSub(k="v"), {1: 2}, set(), object(), decimal.Decimal("2.5"), fractions.Fraction(7, 2),
       IntSub(3), pathlib.PurePosixPath("p.txt"), BadBool(), BadStr(), BadFormat(), BadLen(), BadIndex(), BadInt(),
       BadFspath(), BadItems(), BadItemsLookup(), BadRead(), BadReader(), BadIter(), BadEq(), NotStrBool("n.txt"),
       io.BytesIO(b"data")]

def hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


leaf = st.one_of(st.sampled_from(ODD), st.text(max_size=8), st.binary(max_size=8), st.integers(), st.floats())
key = st.one_of(st.text(max_size=4), st.sampled_from([v for v in ODD if hashable(v)]), st.integers())
anything = st.recursive(leaf, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner, inner), st.dictionaries(key, inner, max_size=3)), max_leaves=6)


# ---- binding, as the calling convention describes it -------------------------------------------------

# name -> (parameter names, how many may be given by position, how many are required,
#          {parameter: check}) ; checks: truth, int, str, dict (exactly dict or None)
SIGNATURES = {
    "_to_formdata": (["data", "files"], 2, 0, {}),
    "async_call_api": (["url", "headers", "payload", "data", "files", "use_form"], 3, 1,
                       {"use_form": "truth", "url": "str", "headers": "dict"}),
    "async_llm_api": (["prompt", "llm_url", "llm_key", "llm_name"], 4, 3, {"prompt": "str", "llm_name": "str"}),
    "async_call_api_stream": (["url", "headers", "payload", "data", "files", "use_form", "sse"], 3, 1,
                              {"use_form": "truth", "sse": "truth", "url": "str", "headers": "dict"}),
    "read_json": (["path"], 1, 1, {"path": "str"}),
    "read_txt": (["file_path", "encoding"], 2, 1, {"encoding": "str"}),
    "save_txt": (["contents", "save_path"], 2, 2, {"save_path": "str"}),
    "load_config": (["file_path", "encoding"], 2, 1, {"encoding": "str"}),
    "read_md": (["md_path", "encoding"], 2, 1, {}),
    "write_md": (["content", "md_path", "encoding"], 3, 2, {}),
    "create_empty_file": (["path", "encoding"], 2, 1, {"encoding": "str"}),
    **{name: (["path", "encoding"], 2, 1, {"encoding": "str"})
       for name in ("initialize_env", "initialize_gitignore", "initialize_txt", "initialize_md", "initialize_sh",
                    "initialize_py")},
    "initialize_file": (["filepath"], 1, 1, {"filepath": "str"}),
    "initialize_catalogue": (["current_path", "catalogue"], 2, 2, {}),
    "main": (["name", "dir_path"], 2, 1, {"name": "str", "dir_path": "str"}),
    "gen_catalogue": ([], 0, 0, {}),
    "download_url_content": (["url", "save_dir", "chunk_size"], 3, 2,
                             {"chunk_size": "int", "url": "str", "save_dir": "str"}),
}
DEFAULTS = {"headers": None, "payload": None, "data": None, "files": None, "use_form": False, "sse": False,
            "llm_name": "qwen3.7-max", "encoding": "utf-8", "dir_path": "", "chunk_size": 8192}
NOTE = ". "  # a subclass instance's refusal goes on with a note of the implementer's wording


class Refused(Exception):
    """What binding and checking must raise: the exception type and the
    acceptable messages (several when more than one rule is broken)."""

    def __init__(self, exc_type, messages, prefix=False):
        super().__init__(messages)
        self.exc_type, self.messages, self.prefix = exc_type, messages, prefix


def tp_names(t):
    """The names the interpreter's own messages may give a type (its C-level
    tp_name): a class statement's bare name; for types defined in C, the
    name qualified by the module (except the built-in ones).  Types made in
    C from a spec are heap types too (io's are since 3.12), so a heap type
    outside builtins may have either."""
    if t.__module__ == "builtins":
        return {t.__name__}
    qualified = f"{t.__module__}.{t.__name__}"
    return {t.__name__, qualified} if t.__flags__ & (1 << 9) else {qualified}


def count_message(name, bound, n, given):
    return f"{name}() takes {bound} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def bind(name, args, kwargs):
    """The bound arguments after the checks, or Refused."""
    params, npos, nreq, checks = SIGNATURES[name]
    if not params:
        if kwargs:
            raise Refused(TypeError, {f"{name}() takes no keyword arguments"})
        if args:
            raise Refused(TypeError, {f"{name}() takes no arguments ({len(args)} given)"})
        return {}
    exact = nreq == npos == len(params)
    errors = set()
    if len(args) > npos:
        errors.add(count_message(name, "exactly" if exact else "at most", npos, len(args)))
    bound = dict(zip(params, args))
    for key in kwargs:
        if key not in params:
            errors.add(f"{name}() got an unexpected keyword argument '{key}'")
        elif key in bound:
            errors.add(f"{name}() got multiple values for keyword argument '{key}'")
        else:
            bound[key] = kwargs[key]
    if not errors:
        missing = [i for i, p in enumerate(params[:nreq]) if p not in bound]
        if missing:
            errors.add(count_message(name, "exactly" if exact else "at least", nreq, missing[0]))
    if errors:
        raise Refused(TypeError, errors)
    for p in params:
        bound.setdefault(p, DEFAULTS.get(p))
    for p in params:  # truth values first
        if checks.get(p) == "truth":
            try:
                bound[p] = bool(bound[p])
            except Exception as exc:  # noqa: BLE001 - it propagates from the call
                raise Refused(type(exc), {str(exc)}) from None
    for p in params:  # then the integer conversion
        v = bound[p]
        if checks.get(p) == "int" and type(v) is not int:
            number = any(hasattr(type(v), m) for m in ("__index__", "__int__", "__float__")) or isinstance(v, complex)
            if not number:
                raise Refused(TypeError, {f"Argument '{p}' has incorrect type (expected int, got {n})"
                                          for n in tp_names(type(v))})
            try:
                bound[p] = int(v)
            except Exception as exc:  # noqa: BLE001 - it propagates from the call
                raise Refused(type(exc), {str(exc)}) from None
    for p in params:  # then the exact types
        v, check = bound[p], checks.get(p)
        expected = {"str": str, "dict": dict, "int": int}.get(check)
        if expected is None or type(v) is expected or (check == "dict" and v is None):
            continue
        messages = {f"Argument '{p}' has incorrect type (expected {expected.__name__}, got {n})"
                    for n in tp_names(type(v))}
        if isinstance(v, expected):
            raise Refused(TypeError, {m + NOTE for m in messages}, prefix=True)
        raise Refused(TypeError, messages)
    return bound


def call_shapes(name, value):
    """Arguments for `name`: some by position, some by keyword (repeats and
    unknown names included), values drawn from `value`."""
    params, npos, _, _ = SIGNATURES[name]
    keyword_names = st.sampled_from(params + ["bogus", "self", "kwargs"]) if params else st.sampled_from(["x"])
    return st.tuples(st.lists(value, max_size=npos + 1),
                     st.dictionaries(keyword_names, value, max_size=len(params) + 1))


def assert_refusal(refused, got):
    assert isinstance(got, BaseException), (refused.messages, got)
    assert type(got) is refused.exc_type, (refused.exc_type, got)
    text = str(got)
    if refused.prefix:
        assert any(text.startswith(m) and len(text) > len(m) for m in refused.messages), (refused.messages, text)
    else:
        assert text in refused.messages, (refused.messages, text)


EXAMPLES_RUN = []


# ---- courier ------------------------------------------------------------------------------------------


# The form builder's steps in Python, against the same stand-in, with kelpie's
# rule for the text of a data value.
py_to_formdata = model.fresh(aiohttp=RecordingAiohttp, field_text=model.kelpie_field_text)._to_formdata


form_entry = st.one_of(anything, st.tuples(anything, anything), st.tuples(anything, anything, anything),
                       st.lists(anything, min_size=2, max_size=3), st.sampled_from([io.BytesIO(b"x"), BadReader(),
                                                                                   BadRead(), BadLen()]))
form_mapping = st.one_of(st.none(), st.sampled_from(ODD), st.dictionaries(key, form_entry, max_size=4),
                         st.builds(DictSub, st.dictionaries(st.text(max_size=3), form_entry, max_size=3)))


@FUZZ
@given(shape=call_shapes("_to_formdata", form_mapping))
def fuzz_to_formdata(shape):
    import kelpie.courier as courier

    args, kwargs = shape
    EXAMPLES_RUN.append(1)
    real = courier.aiohttp
    courier.aiohttp = RecordingAiohttp
    try:
        RecordingForm.log = []
        got = attempt(courier._to_formdata, *args, **kwargs)
        ours = RecordingForm.log
        try:
            bound = bind("_to_formdata", args, kwargs)
        except Refused as refused:
            assert_refusal(refused, got)
            assert ours == []
            return
        RecordingForm.log = []
        want = attempt(py_to_formdata, **bound)
        theirs = RecordingForm.log
    finally:
        courier.aiohttp = real
    assert ours == theirs
    if isinstance(want, BaseException):
        assert type(got) is type(want) and str(got) == str(want), (got, want)
    else:
        assert type(got) is RecordingForm


request_value = st.one_of(anything, st.sampled_from(["http://127.0.0.1:9/x", StrSub("http://x"), None]),
                          st.dictionaries(st.text(max_size=3), st.text(max_size=3), max_size=2))


def fuzz_async(name):
    @FUZZ
    @given(shape=call_shapes(name, request_value))
    def prop(shape):
        import kelpie.courier as courier

        args, kwargs = shape
        EXAMPLES_RUN.append(1)
        got = attempt(getattr(courier, name), *args, **kwargs)
        try:
            bind(name, args, kwargs)
        except Refused as refused:
            assert_refusal(refused, got)
            return
        # accepted: an object that has done nothing yet
        if name == "async_call_api_stream":
            assert type(got).__name__ == "async_generator" and hasattr(got, "__anext__"), got
        else:
            assert inspect.iscoroutine(got) or asyncio.iscoroutine(got), got
            got.close()

    return prop


fuzz_async_call_api = fuzz_async("async_call_api")
fuzz_async_llm_api = fuzz_async("async_llm_api")
fuzz_async_call_api_stream = fuzz_async("async_call_api_stream")


# ---- larder: the same steps in Python (tests/model.py), in a scratch directory ----------------------------------------------


SEED = {"a.txt": b"alpha\nbeta\n", "data.json": b'{"k": [1, 2.5, null]}', "bad.json": b"{oops",
        "cfg.yaml": b"a: 1\nb: [x, y]\n", "two.yaml": b"a: 1\n---\nb: 2\n", "latin.txt": b"caf\xe9\n",
        "sub/b.md": b"# b\n"}


def reset(root):
    for name in os.listdir(root):
        full = os.path.join(root, name)
        shutil.rmtree(full) if os.path.isdir(full) and not os.path.islink(full) else os.remove(full)
    for rel, content in SEED.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)) or root, exist_ok=True)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(content)


def snapshot(root):
    found = {}
    for here, dirs, files in os.walk(root):
        rel = os.path.relpath(here, root)
        for d in dirs:
            found[os.path.normpath(os.path.join(rel, d))] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.normpath(os.path.join(rel, name))] = f.read()
    return found


def observed(fn, args, kwargs, stdin):
    """(outcome, printed text, files) of one call in the scratch directory."""
    root = os.getcwd()
    reset(root)
    out = io.StringIO()
    real_stdin = sys.stdin
    sys.stdin = io.StringIO(stdin)
    try:
        with redirect_stdout(out):
            try:
                result = ("ok", fn(*args, **kwargs))
            except BaseException as exc:  # noqa: B036 - SystemExit is an outcome here
                result = (type(exc), str(exc))
    finally:
        sys.stdin = real_stdin
    return result, out.getvalue(), snapshot(root)


SAFE_NAMES = ["a.txt", "new.txt", "sub/b.md", "sub/new.md", "missing/c.txt", "sub", "data.json", "bad.json",
              "cfg.yaml", "two.yaml", "latin.txt", "", "x\x00y", "notes.d", "dir.with.dots/f", "README"]
not_an_int = [v for v in ODD if not isinstance(v, int)]
path_value = st.one_of(st.sampled_from(SAFE_NAMES), st.sampled_from(SAFE_NAMES).map(str.encode),
                       st.sampled_from(SAFE_NAMES).map(pathlib.Path), st.sampled_from(SAFE_NAMES).map(StrSub),
                       st.sampled_from(not_an_int))
encoding_value = st.one_of(st.sampled_from(["utf-8", "latin-1", "ascii", "utf-16", "no-such-codec", "", None,
                                            StrSub("utf-8")]), st.sampled_from(ODD))
text_value = st.one_of(st.text(max_size=20), st.lists(st.one_of(st.text(max_size=5), st.sampled_from(ODD)),
                                                      max_size=4), st.sampled_from(ODD))
entry_name = st.sampled_from(["a.txt", "d", "e.md", "f", "notes.d", "g.py", ""])
catalogue_value = st.recursive(
    st.one_of(entry_name, st.sampled_from([None, 7, ("t.txt",), b"b.txt", NotStrBool("n.txt"), StrSub("s.md")])),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(st.one_of(entry_name, st.just(3)), inner,
                                                                         max_size=3)), max_leaves=8)
LARDER_VALUES = {
    "path": path_value, "file_path": path_value, "md_path": path_value, "save_path": path_value,
    "filepath": path_value, "current_path": st.one_of(st.sampled_from(["cat", "cat/inner", "", "a.txt", "sub"]),
                                                      st.sampled_from(not_an_int)),
    "encoding": encoding_value, "contents": text_value, "content": text_value, "catalogue": catalogue_value,
    "name": st.one_of(st.sampled_from(["proj", "", "p.q", "sub"]), st.sampled_from(ODD)),
    "dir_path": st.one_of(st.sampled_from(["", "base", "sub", "a.txt"]), st.sampled_from(ODD)),
    "url": st.one_of(st.sampled_from(["/files/f.bin", "/files/", "/missing/m.bin", "/files/q.bin?x=1#y",
                                      "/files/with%20space.bin"]).map(lambda p: SERVER_BASE[0] + p),
                     st.sampled_from(["http://[::1/x", "ftp://127.0.0.1/x.bin", "", "no-scheme/x.bin"]),
                     st.sampled_from(not_an_int)),
    "save_dir": st.one_of(st.sampled_from(["", "sub", "missing", "a.txt"]), st.sampled_from(not_an_int)),
    "chunk_size": st.one_of(st.integers(1, 5000), st.floats(1, 5000), st.sampled_from(
        [True, 1024.9, "8", None, float("nan"), float("inf"), decimal.Decimal("100.7"), fractions.Fraction(9, 2),
         IntSub(7), BadIndex(), BadInt(), 1j, [1]])),
}
SERVER_BASE = [""]


def larder_shapes(name):
    params, npos, _, _ = SIGNATURES[name]
    keyword_names = st.sampled_from(params + ["bogus"]) if params else st.sampled_from(["x"])
    positional = st.tuples(*[LARDER_VALUES[p] for p in params]).flatmap(
        lambda full: st.integers(0, len(full)).map(lambda k: list(full[:k])))
    extra = st.lists(st.sampled_from(ODD), max_size=1)
    keywords = st.dictionaries(keyword_names, st.one_of(*[LARDER_VALUES[p] for p in params])
                               if params else st.sampled_from(ODD), max_size=2)
    answers = st.lists(st.sampled_from(["proj", "y", "n", "Y", " y", "", "sub", "p.q"]), max_size=4).map(
        lambda xs: "".join(x + "\n" for x in xs))
    return st.tuples(st.tuples(positional, extra).map(lambda pe: pe[0] + (pe[1] if len(pe[0]) == npos else [])),
                     keywords, answers)


def fuzz_larder(name):
    @FUZZ
    @given(shape=larder_shapes(name))
    def prop(shape):
        import kelpie.larder as larder

        args, kwargs, stdin = shape
        EXAMPLES_RUN.append(1)
        ours = observed(getattr(larder, name), args, kwargs, stdin)
        try:
            bound = bind(name, args, kwargs)
        except Refused as refused:
            exc_type, message = ours[0]
            assert exc_type is refused.exc_type, (refused.messages, ours[0])
            assert (any(message.startswith(m) for m in refused.messages) if refused.prefix
                    else message in refused.messages), (refused.messages, message)
            assert ours[1] == "" and ours[2] == snapshot_of_seed()
            return
        theirs = observed(getattr(model, name), [bound[p] for p in SIGNATURES[name][0]], {}, stdin)
        assert ours == theirs

    return prop


def snapshot_of_seed():
    root = os.getcwd()
    reset(root)
    return snapshot(root)


LARDER_NAMES = [n for n in SIGNATURES if not n.startswith(("async", "_"))]
for _name in LARDER_NAMES:
    globals()[f"fuzz_{_name}"] = fuzz_larder(_name)


# ---- the event-stream line rule ------------------------------------------------------------------------------------


def line_rule(body):
    """What the event-stream mode must yield for `body`: aiohttp hands on the
    lines ending in b"\\n" (the last one may lack it); each non-empty line is
    decoded dropping what does not decode, stripped, and kept when it starts
    with "data:", without that prefix and the blanks after it."""
    parts = body.split(b"\n")
    lines = [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    out = []
    for line in lines:
        if not line:
            continue
        text = line.decode("utf-8", errors="ignore").strip()
        if text.startswith("data:"):
            out.append(text[5:].lstrip().encode("utf-8"))
    return out


TOKENS = [b"data:", b"data: ", b"data:\t", b"DATA:", b"dat", b"a:", b"event: x", b":", b": ping", b"\n", b"\n",
          b"\r\n", b"\r", b" ", b"\t", b"\x0b", b"\x0c", b"\x1c", b"\x1f", b"\x00", b"\xc2\x85", b"\xc2\xa0",
          b"\xe2\x80\xa8", b"\xe3\x80\x80", b"\xff", b"\xc3", b"\x80", b"\xe4\xb8", "中文ü".encode(), b"x", b"yz"]
stream_body = st.lists(st.one_of(st.sampled_from(TOKENS), st.binary(max_size=12)), max_size=40).map(b"".join)


@st.composite
def split_body(draw):
    body = draw(stream_body)
    cuts = sorted(set(draw(st.lists(st.integers(0, len(body)), max_size=8))))
    bounds = [0, *cuts, len(body)]
    return body, [body[a:b] for a, b in zip(bounds, bounds[1:]) if b > a]


@FUZZ
@given(case=split_body())
def fuzz_event_stream(case):
    import kelpie.courier as courier

    body, pieces = case
    EXAMPLES_RUN.append(1)
    url = SERVER_BASE[0] + "/feed"
    payload = {"pieces": [p.decode("latin-1") for p in pieces]}

    async def both():
        sse = [item async for item in courier.async_call_api_stream(url, payload=payload, sse=True)]
        chunks = [item async for item in courier.async_call_api_stream(url, payload=payload)]
        return sse, chunks

    sse, chunks = asyncio.run(both())
    assert sse == line_rule(body)
    assert all(type(item) is bytes for item in sse)
    assert all(chunks) and b"".join(chunks) == body


# ---- keyword names that are not strings ------------------------------------------------------------------------------


def vectorcall(fn, args, kwnames):
    """fn called through the vectorcall protocol with a keyword-name tuple
    made by hand: the only way a name that is not a str reaches a function.

    PyObject_Vectorcall is an exported function from 3.11 on; in 3.10 it is
    an inline function of the headers only.  There the call goes through
    PyObject_VectorcallMethod (exported since 3.9) on a holder object whose
    instance attribute is fn: an instance attribute is not bound, so the
    method call hands the arguments after the holder, and the keyword
    names, to PyObject_Vectorcall(fn, ...) unchanged."""
    api = ctypes.pythonapi
    nargs = len(args) - len(kwnames)
    signature = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    if hasattr(api, "PyObject_Vectorcall"):
        api.PyObject_Vectorcall.restype = ctypes.py_object
        api.PyObject_Vectorcall.argtypes = signature
        values = (ctypes.py_object * len(args))(*args)
        return api.PyObject_Vectorcall(fn, values, nargs, kwnames)
    api.PyObject_VectorcallMethod.restype = ctypes.py_object
    api.PyObject_VectorcallMethod.argtypes = signature
    holder = types.SimpleNamespace(fn=fn)
    values = (ctypes.py_object * (len(args) + 1))(holder, *args)
    return api.PyObject_VectorcallMethod("fn", values, nargs + 1, kwnames)


def check_keyword_names():
    import kelpie.courier as courier
    import kelpie.larder as larder

    checked = 0
    for name, (params, npos, nreq, _) in SIGNATURES.items():
        fn = getattr(courier if name.startswith(("async", "_")) else larder, name)
        for key in (1, None, b"url", ("a",), 2.5):
            for positional in ([], ["x"] * min(npos, 1)):
                try:
                    vectorcall(fn, positional + ["value"], (key,))
                except TypeError as exc:
                    text = str(exc)
                else:
                    raise AssertionError(f"{name} accepted the keyword {key!r}")
                want = (f"{name}() takes no keyword arguments" if not params
                        else f"{name}() keywords must be strings")
                assert text == want, (name, key, text)
                checked += 1
    return checked


# ---- the coroutine and asynchronous-generator protocol, driven by hand ----------------------------------------------

PROTOCOL_OPS = ["send", "send-value", "throw", "throw-exit", "throw-bad", "close", "anext", "asend-value", "athrow",
                "aclose", "step-send", "step-throw", "step-close", "step-drop", "collect"]


@FUZZ
@given(kind=st.sampled_from(["call", "llm", "stream", "stream-sse"]), ops=st.lists(st.sampled_from(PROTOCOL_OPS),
                                                                                     max_size=14))
def fuzz_protocol(kind, ops):
    """Any order of send/throw/close on a coroutine, and of
    __anext__/asend/athrow/aclose and the steps of their awaitables on a
    stream, on the loop, against a port where nothing listens: whatever each
    step raises, nothing crashes and the object is freed afterwards."""
    import gc
    import weakref

    import kelpie.courier as courier

    EXAMPLES_RUN.append(1)
    url = f"http://127.0.0.1:{SERVER_BASE[1]}/"

    async def main():
        if kind == "call":
            obj = courier.async_call_api(url, payload={"x": 1})
        elif kind == "llm":
            obj = courier.async_llm_api("p", url, "k")
        else:
            obj = courier.async_call_api_stream(url, sse=kind == "stream-sse")
        steps = []
        for op in ops:
            try:
                if op == "collect":
                    gc.collect()
                elif kind in ("call", "llm"):
                    if op.startswith("send"):
                        obj.send(None if op == "send" else 1)
                    elif op == "throw":
                        obj.throw(Boom("thrown"))
                    elif op == "throw-exit":
                        obj.throw(GeneratorExit)
                    elif op == "throw-bad":
                        obj.throw(1)
                    elif op == "close":
                        obj.close()
                    else:
                        await asyncio.sleep(0)
                elif op == "anext":
                    steps.append(obj.__anext__())
                elif op == "asend-value":
                    steps.append(obj.asend(1))
                elif op == "athrow":
                    steps.append(obj.athrow(Boom("thrown")))
                elif op == "aclose":
                    steps.append(obj.aclose())
                elif op.startswith("step-") and steps:
                    step = steps[-1]
                    if op == "step-send":
                        step.send(None)
                    elif op == "step-throw":
                        step.throw(Boom("into the step"))
                    elif op == "step-close":
                        step.close()
                    else:
                        steps.pop()
                else:
                    await asyncio.sleep(0)
            except BaseException:  # noqa: B036 - any error is an allowed answer; only a crash is not
                pass
        step = None
        while steps:
            steps.pop().close()
        try:
            if kind in ("call", "llm"):
                obj.close()
            else:
                await obj.aclose()
        except BaseException:  # noqa: B036 - see above
            pass
        ref = weakref.ref(obj)
        del obj
        for _ in range(3):
            await asyncio.sleep(0)
            gc.collect()
        assert ref() is None, "the object outlived every reference to it"

    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "never awaited" and unclosed-session warnings are expected here
        asyncio.run(main())


# ---- running the groups in child interpreters -------------------------------------------------------------------------


def child_main(group):
    """Entry point of a child: runs one group and prints how many examples it tried."""
    import tempfile
    import warnings

    from hypothesis.errors import HypothesisWarning

    warnings.filterwarnings("ignore", category=HypothesisWarning)  # large reprs of generated values

    if group == "keywords":
        print("checked", check_keyword_names())
        return
    server = None
    if group == "protocol":
        from tests.courier_support import free_port

        SERVER_BASE.append(free_port())
    if group in ("event_stream", "download_url_content"):
        server = ServerProcess()
        SERVER_BASE[0] = server.base
    scratch = tempfile.mkdtemp(prefix="kelpie-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    home = os.getcwd()
    os.chdir(scratch)
    try:
        globals()[f"fuzz_{group}"]()
    finally:
        os.chdir(home)
        shutil.rmtree(scratch, ignore_errors=True)
        if server:
            server.close()
    print("examples", len(EXAMPLES_RUN))


GROUPS = ["to_formdata", "async_call_api", "async_llm_api", "async_call_api_stream", *LARDER_NAMES, "event_stream",
          "protocol", "keywords"]


@pytest.mark.parametrize("group", GROUPS)
def test_fuzz(group):
    out = run_child(f"from tests.test_hardening_fuzz import child_main; child_main({group!r})",
                    args=("-W", "error", "-W", "ignore::DeprecationWarning"))
    count = int(out.split()[-1])
    assert count >= (len(SIGNATURES) if group == "keywords" else min(EXAMPLES, 20)), out
