"""kelpie.courier as a module: namespace, aliases, function objects, and the
argument checks that run synchronously when a function is called."""

import asyncio
import asyncio.coroutines
import collections
import gc
import importlib
import inspect
import subprocess
import sys
import traceback
import types
import typing

import aiohttp
import pytest

from tests import model
from tests.courier_support import courier, free_port
from tests.hardening_support import outcome
from tests.odd_objects import Boom, DictSub, RecordingAiohttp, StrSub
from tests.versions_support import REFUSED_BY_OWNER, SUBINTERPRETERS, asyncio_iscoroutinefunction, refused_when_isolated

ASYNC_NAMES = ["async_call_api", "async_llm_api", "async_call_api_stream"]
FUNCTION_NAMES = ["_to_formdata"] + ASYNC_NAMES

CALL_DOC = (
    "\n"
    "    - 默认：走 JSON（json=payload）\n"
    "    - 传 files / use_form=True：走 multipart/form-data（data=FormData），此时 payload 会被忽略\n"
    "    "
)
STREAM_DOC = (
    "\n"
    "    - 默认：走 JSON（json=payload）\n"
    "    - 传 files / use_form=True：走 multipart/form-data（data=FormData），此时 payload 会被忽略\n"
    '    - sse=True：按行处理 "data:" 前缀（仍然 yield bytes 更贴近你原实现；需要 str 可在调用端 decode）\n'
    "    "
)


def test_namespace_holds_exactly_the_module_names_in_binding_order():
    names = [n for n in vars(courier) if not (n.startswith("__") and n.endswith("__")) or n in ("__all__", "__test__")]
    assert names == ["aiohttp", "Any", "Dict", "Optional", "Union", "IO", "Tuple", "AsyncIterator", "__all__",
                     "FileValue", "FilesType", "DataType", "_to_formdata", "async_call_api", "async_llm_api",
                     "async_call_api_stream", "__test__"]
    assert courier.__name__ == "kelpie.courier"
    assert courier.__doc__ is None
    assert courier.aiohttp is aiohttp
    for name in ["Any", "Dict", "Optional", "Union", "IO", "Tuple", "AsyncIterator"]:
        assert getattr(courier, name) is getattr(typing, name)
    assert courier.__all__ == ["async_call_api", "async_call_api_stream", "async_llm_api"]
    assert type(courier.__test__) is dict and courier.__test__ == {}


def test_star_import_binds_only_the_public_functions():
    ns = {}
    exec("from kelpie.courier import *", ns)
    assert sorted(n for n in ns if n != "__builtins__") == sorted(courier.__all__)
    assert ns["async_call_api"] is courier.async_call_api


def test_type_aliases_equal_their_typing_forms():
    from typing import IO, Any, Dict, Optional, Tuple, Union
    file_value = Union[IO[bytes], Tuple[str, IO[bytes]], Tuple[str, IO[bytes], str]]
    assert courier.FileValue == file_value
    assert courier.FilesType == Optional[Dict[str, file_value]]
    assert courier.DataType == Optional[Dict[str, Any]]


@pytest.mark.parametrize("name, defaults, kwdefaults, annotations, doc", [
    ("_to_formdata", (None, None), None,
     {"data": "DataType", "files": "FilesType", "return": "aiohttp.FormData"}, None),
    ("async_call_api", (None, None), {"data": None, "files": None, "use_form": False},
     {"url": "str", "headers": "Optional[Dict[str, str]]", "payload": "Any", "data": "DataType",
      "files": "FilesType", "use_form": "bool"}, CALL_DOC),
    ("async_llm_api", ("qwen3.7-max",), None, {"prompt": "str", "llm_name": "str"}, None),
    ("async_call_api_stream", (None, None), {"data": None, "files": None, "use_form": False, "sse": False},
     {"url": "str", "headers": "Optional[Dict[str, str]]", "payload": "Any", "data": "DataType",
      "files": "FilesType", "use_form": "bool", "sse": "bool", "return": "AsyncIterator[bytes]"}, STREAM_DOC),
])
def test_function_attributes(name, defaults, kwdefaults, annotations, doc):
    f = getattr(courier, name)
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ == kwdefaults
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__doc__ == doc
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "kelpie.courier")


# Edits of __defaults__ and __kwdefaults__, each made to kelpie's function and
# to its plain-Python twin; afterwards both must show and bind the same.
DEFAULT_EDITS = {
    "kw item changed": lambda f: f.__kwdefaults__.__setitem__("use_form", 1),
    "kw item removed": lambda f: f.__kwdefaults__.pop("files"),
    "kw cleared": lambda f: f.__kwdefaults__.clear(),
    "kw replaced": lambda f: setattr(f, "__kwdefaults__", {"data": {"d": 1}, "files": None, "use_form": 0, "sse": 1}),
    "kw set to None": lambda f: setattr(f, "__kwdefaults__", None),
    "kw deleted": lambda f: delattr(f, "__kwdefaults__"),
    "kw set to a list": lambda f: setattr(f, "__kwdefaults__", [("sse", True)]),
    "defaults replaced": lambda f: setattr(f, "__defaults__", ({"x": "y"}, None)),
    "defaults shortened": lambda f: setattr(f, "__defaults__", (None,)),
    "defaults lengthened": lambda f: setattr(f, "__defaults__", ({"a": 1}, {"b": 2}, None)),
    "defaults set to None": lambda f: setattr(f, "__defaults__", None),
    "defaults deleted": lambda f: delattr(f, "__defaults__"),
    "defaults set to a list": lambda f: setattr(f, "__defaults__", [None, None]),
}
DEFAULT_PROBES = {  # function name -> the calls made after the edit
    "_to_formdata": [(), ({"k": "v"},)],
    "async_call_api": [("http://h/",), ("http://h/", None, None), ("http://h/",), ("http://h/", None, None)],
    "async_call_api_stream": [("http://h/",), ("http://h/", None, None)],
}


def probe(f, args):
    """What calling f gives, with what kelpie's style of positional-count
    message shares with Python's (the formats differ deliberately)."""
    result = outcome(f, *args)
    if result[0] is TypeError and "positional argument" in result[1]:
        return "positional count"
    if result[0] != "ok":
        return result
    made = result[1]
    if hasattr(made, "calls"):  # the form the stand-in FormData recorded
        return made.calls
    if hasattr(made, "cr_frame"):
        made.close()
    return type(made).__name__


@pytest.mark.parametrize("edit", DEFAULT_EDITS)
@pytest.mark.parametrize("name", DEFAULT_PROBES)
def test_edited_defaults_count_from_the_next_call(name, edit, monkeypatch):
    seen = []
    for side in (courier, model):
        f = getattr(side, name)
        monkeypatch.setattr(side, "aiohttp", RecordingAiohttp)
        monkeypatch.setattr(f, "__defaults__", f.__defaults__)
        monkeypatch.setattr(f, "__kwdefaults__", dict(f.__kwdefaults__) if f.__kwdefaults__ else None)
        changed = outcome(DEFAULT_EDITS[edit], f)
        parameters = [(p.name, p.kind, p.default) for p in inspect.signature(f).parameters.values()]
        seen.append((changed, f.__defaults__, f.__kwdefaults__, parameters,
                     [probe(f, args) for args in DEFAULT_PROBES[name]]))
    assert seen[0] == seen[1]


def test_a_default_outlives_python_code_that_drops_it(monkeypatch):
    """The truth test of use_form runs Python code that empties
    __kwdefaults__: the default of sse, held by nothing else, is still read."""
    events = []
    for side in (courier, model):
        f = side.async_call_api_stream
        monkeypatch.setattr(f, "__kwdefaults__", dict(f.__kwdefaults__))

        class Flag:
            def __bool__(self):
                events.append((side.__name__, "sse read"))
                return True

        class Emptying:
            def __bool__(self, f=f):
                f.__kwdefaults__.clear()
                events.append((side.__name__, "emptied"))
                return False

        f.__kwdefaults__["sse"] = Flag()
        assert type(f("http://h/", use_form=Emptying())).__name__.endswith("async_generator")
    assert [e for _, e in events] == ["emptied", "sse read"] * 2


def test_coroutine_markers():
    for name in ASYNC_NAMES:
        f = getattr(courier, name)
        assert f._is_coroutine is asyncio.coroutines._is_coroutine
        assert asyncio_iscoroutinefunction(f)
    assert courier._to_formdata._is_coroutine is False
    assert not asyncio_iscoroutinefunction(courier._to_formdata)
    assert not inspect.iscoroutinefunction(courier._to_formdata)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect honours the marker from 3.12 on")
def test_inspect_sees_coroutine_functions():
    assert all(inspect.iscoroutinefunction(getattr(courier, n)) for n in ASYNC_NAMES)


def test_importing_again_gives_the_same_module(monkeypatch):
    own = {k: v for k, v in vars(courier).items() if not k.startswith("__") or k in ("__all__", "__test__")}
    monkeypatch.delitem(sys.modules, "kelpie.courier")
    assert importlib.import_module("kelpie.courier") is courier
    assert importlib.reload(courier) is courier
    # every name the module had is still bound to the same object, and none came in
    again = {k for k in vars(courier) if not k.startswith("__") or k in ("__all__", "__test__")}
    assert all(vars(courier)[k] is v for k, v in own.items()) and again == set(own)


IMPORT_FAILURES = r"""
import sys, traceback, typing, aiohttp
def attempt():
    try:
        import kelpie.courier
    except ImportError as exc:
        entry = traceback.extract_tb(exc.__traceback__)[-1]
        print(type(exc).__name__, "|", exc, "|", entry.name, entry.filename, "kelpie.courier" in sys.modules)
saved = typing.AsyncIterator
del typing.AsyncIterator
attempt()
typing.AsyncIterator = saved
sys.modules["aiohttp"] = None
attempt()
sys.modules["aiohttp"] = aiohttp
import kelpie.courier
print(kelpie.courier.AsyncIterator is saved, kelpie.courier.__all__)
""" + SUBINTERPRETERS + r"""
print(run_in_another_interpreter("import kelpie.courier"))
print(run_in_another_interpreter("import kelpie.courier", legacy=True))
"""


def test_failed_import_is_retried_and_other_interpreters_are_refused():
    out = subprocess.run([sys.executable, "-W", "error", "-c", IMPORT_FAILURES], capture_output=True, text=True,
                         check=True, cwd="/").stdout.splitlines()
    assert out == [
        "ImportError | cannot import name AsyncIterator | init kelpie.courier kelpie/courier False",
        "ModuleNotFoundError | import of aiohttp halted; None in sys.modules | init kelpie.courier kelpie/courier False",
        "True ['async_call_api', 'async_call_api_stream', 'async_llm_api']",
        refused_when_isolated("kelpie.courier"),
        REFUSED_BY_OWNER,
    ]


# ------------------------------------------------------------------ argument checks


class Ordered(collections.OrderedDict):
    pass


A, L, S, F = courier.async_call_api, courier.async_llm_api, courier.async_call_api_stream, courier._to_formdata


@pytest.mark.parametrize("call, message", [
    (lambda: A(), "async_call_api() takes at least 1 positional argument (0 given)"),
    (lambda: A(headers={}), "async_call_api() takes at least 1 positional argument (0 given)"),
    (lambda: A("u", {}, None, False), "async_call_api() takes at most 3 positional arguments (4 given)"),
    (lambda: A("u", url="v"), "async_call_api() got multiple values for keyword argument 'url'"),
    (lambda: A("u", {}, None, payload=1), "async_call_api() got multiple values for keyword argument 'payload'"),
    (lambda: A("u", x=1), "async_call_api() got an unexpected keyword argument 'x'"),
    (lambda: A("u", sse=True), "async_call_api() got an unexpected keyword argument 'sse'"),
    (lambda: A(None), "Argument 'url' has incorrect type (expected str, got NoneType)"),
    (lambda: A(b"http://x"), "Argument 'url' has incorrect type (expected str, got bytes)"),
    (lambda: A("u", []), "Argument 'headers' has incorrect type (expected dict, got list)"),
    (lambda: A("u", types.MappingProxyType({})), "Argument 'headers' has incorrect type (expected dict, got mappingproxy)"),
    (lambda: A(None, headers=[]), "Argument 'url' has incorrect type (expected str, got NoneType)"),
    (lambda: S(), "async_call_api_stream() takes at least 1 positional argument (0 given)"),
    (lambda: S("u", None, None, True), "async_call_api_stream() takes at most 3 positional arguments (4 given)"),
    (lambda: S("u", url="u"), "async_call_api_stream() got multiple values for keyword argument 'url'"),
    (lambda: S("u", chunk=1), "async_call_api_stream() got an unexpected keyword argument 'chunk'"),
    (lambda: S(None), "Argument 'url' has incorrect type (expected str, got NoneType)"),
    (lambda: S("u", headers=()), "Argument 'headers' has incorrect type (expected dict, got tuple)"),
    (lambda: L(), "async_llm_api() takes at least 3 positional arguments (0 given)"),
    (lambda: L("p", "u"), "async_llm_api() takes at least 3 positional arguments (2 given)"),
    (lambda: L("p", llm_key="k"), "async_llm_api() takes at least 3 positional arguments (1 given)"),
    (lambda: L("p", "u", "k", "m", 5), "async_llm_api() takes at most 4 positional arguments (5 given)"),
    (lambda: L("p", "u", "k", prompt="q"), "async_llm_api() got multiple values for keyword argument 'prompt'"),
    (lambda: L("p", "u", "k", model="m"), "async_llm_api() got an unexpected keyword argument 'model'"),
    (lambda: L(None, "u", "k"), "Argument 'prompt' has incorrect type (expected str, got NoneType)"),
    (lambda: L(b"p", "u", "k"), "Argument 'prompt' has incorrect type (expected str, got bytes)"),
    (lambda: L("p", "u", "k", None), "Argument 'llm_name' has incorrect type (expected str, got NoneType)"),
    (lambda: L(1, "u", "k", None), "Argument 'prompt' has incorrect type (expected str, got int)"),
    (lambda: F(None, None, None), "_to_formdata() takes at most 2 positional arguments (3 given)"),
    (lambda: F(None, data=None), "_to_formdata() got multiple values for keyword argument 'data'"),
    (lambda: F(form=1), "_to_formdata() got an unexpected keyword argument 'form'"),
])
def test_argument_errors_are_raised_by_the_call(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, prefix", [
    (lambda: A(StrSub("http://x")), "Argument 'url' has incorrect type (expected str, got StrSub)"),
    (lambda: A("u", Ordered()), "Argument 'headers' has incorrect type (expected dict, got Ordered)"),
    (lambda: A("u", DictSub()), "Argument 'headers' has incorrect type (expected dict, got DictSub)"),
    (lambda: S(StrSub("u")), "Argument 'url' has incorrect type (expected str, got StrSub)"),
    (lambda: S("u", DictSub()), "Argument 'headers' has incorrect type (expected dict, got DictSub)"),
    (lambda: L(StrSub("p"), "u", "k"), "Argument 'prompt' has incorrect type (expected str, got StrSub)"),
    (lambda: L("p", "u", "k", StrSub("m")), "Argument 'llm_name' has incorrect type (expected str, got StrSub)"),
])
def test_subclass_instances_are_refused_with_a_note(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    msg = str(info.value)
    assert msg.startswith(prefix + ". ") and len(msg) > len(prefix) + 2


class Flag:
    """Truth value that logs each test of it and raises when told to."""

    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __bool__(self):
        self.log.append(self.name)
        if self.value is Boom:
            raise Boom(self.name)
        return self.value


@pytest.mark.parametrize("make, tested, raised", [
    (lambda log: A(None, headers=[], use_form=Flag(log, "use_form", Boom)), ["use_form"], "use_form"),
    (lambda log: A("u", use_form=Flag(log, "use_form", True)), ["use_form"], None),
    (lambda log: S(None, sse=Flag(log, "sse", Boom), use_form=Flag(log, "use_form", Boom)), ["use_form"], "use_form"),
    (lambda log: S(None, [], sse=Flag(log, "sse", Boom), use_form=Flag(log, "use_form", False)), ["use_form", "sse"], "sse"),
    (lambda log: S("u", sse=Flag(log, "sse", True), use_form=Flag(log, "use_form", False)), ["use_form", "sse"], None),
])
def test_flags_are_tested_once_at_the_call_before_type_checks(make, tested, raised):
    log = []
    if raised:
        with pytest.raises(Boom, match=raised):
            make(log)
    else:
        obj = make(log)
        obj.close() if asyncio.iscoroutine(obj) else None
        del obj
    assert log == tested


@pytest.mark.parametrize("make", [
    lambda: A("u", headers=None), lambda: A(url="u"), lambda: A("u", {}, object(), data=1, files=0, use_form=None),
    lambda: L("p", "u", None), lambda: L("p", None, None), lambda: L(prompt="p", llm_url=1, llm_key=2, llm_name="m"),
])
def test_accepted_arguments_give_a_coroutine(make):
    coro = make()
    assert asyncio.iscoroutine(coro)
    coro.close()


async def drain(agen):
    return [item async for item in agen]


@pytest.mark.parametrize("make, names", [
    (lambda url: A(url), ["async_call_api"]),
    (lambda url: L("p", url, "k"), ["async_llm_api", "async_call_api"]),
    (lambda url: drain(S(url)), ["async_call_api_stream"]),
    (lambda url: drain(S(url, files={"avatar": (1,)})), ["async_call_api_stream", "_to_formdata"]),
    (lambda url: F(files={"avatar": 5}), ["_to_formdata"]),
])
def test_traceback_names_the_function(make, names):
    with pytest.raises((TypeError, aiohttp.ClientConnectionError)) as info:
        asyncio.run(make(f"http://127.0.0.1:{free_port()}/"))
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]
    for name in names:
        assert ("kelpie.courier." + name, "kelpie/courier") in entries


def _set_locals(frame):
    frame.f_locals["left_behind"] = 1


# What a user may change on a frame object found in a traceback, one change a row.
FRAME_CHANGES = {
    "untouched": lambda frame: None,
    "f_trace": lambda frame: setattr(frame, "f_trace", print),
    "f_trace_lines": lambda frame: setattr(frame, "f_trace_lines", False),
    "f_trace_opcodes": lambda frame: setattr(frame, "f_trace_opcodes", True),
    "f_locals": _set_locals,
    "clear": lambda frame: frame.clear(),
}


# How a call fails: in its body, or refused with its arguments.
FAILURES = {
    "body": lambda module, url: asyncio.run(module.async_call_api(url)),
    "refused": lambda module, url: module.async_call_api(url.encode()),
}


@pytest.mark.parametrize("change", FRAME_CHANGES)
@pytest.mark.parametrize("first,then", [("body", "body"), ("refused", "refused"), ("refused", "body")])
@pytest.mark.parametrize("module", [courier, model], ids=["kelpie", "plain"])
def test_a_frame_changed_in_one_traceback_is_not_seen_in_the_next(module, first, then, change):
    """The next call's frame starts as a new one, whatever was done to the
    frame of the call before once that call and its error are gone."""
    url = f"http://127.0.0.1:{free_port()}/"

    def call_frame(failure):
        with pytest.raises((aiohttp.ClientConnectionError, TypeError)) as info:
            FAILURES[failure](module, url)
        frames = [f for f, _ in traceback.walk_tb(info.value.__traceback__)]
        return next(f for f in frames if f.f_code.co_name.endswith(("async_call_api", "_call_api")))

    def state(frame):
        return frame.f_trace, frame.f_trace_lines, frame.f_trace_opcodes, "left_behind" in frame.f_locals

    FRAME_CHANGES[change](call_frame(first))
    gc.collect()  # the first error's cycles: its frame is then held by nothing of the call's
    assert state(call_frame(then)) == (None, True, False, False)
