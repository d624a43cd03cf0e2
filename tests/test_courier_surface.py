"""kelpie.courier as a module: namespace, aliases, function objects, and the
argument checks that run synchronously when a function is called."""

import asyncio
import asyncio.coroutines
import collections
import importlib
import inspect
import sys
import traceback
import types
import typing

import aiohttp
import pytest

from tests.courier_support import courier, free_port, run_loop

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


def test_coroutine_markers():
    for name in ASYNC_NAMES:
        f = getattr(courier, name)
        assert f._is_coroutine is asyncio.coroutines._is_coroutine
        assert asyncio.iscoroutinefunction(f)
    assert courier._to_formdata._is_coroutine is False
    assert not asyncio.iscoroutinefunction(courier._to_formdata)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect honours the marker from 3.12 on")
def test_inspect_sees_coroutine_functions():
    assert all(inspect.iscoroutinefunction(getattr(courier, n)) for n in ASYNC_NAMES)


def test_importing_again_gives_the_same_module(monkeypatch):
    before = dict(vars(courier))
    monkeypatch.delitem(sys.modules, "kelpie.courier")
    again = importlib.import_module("kelpie.courier")
    assert again is courier
    assert importlib.reload(courier) is courier
    assert dict(vars(courier)) == before
    assert all(vars(courier)[k] is v for k, v in before.items())


# ------------------------------------------------------------------ argument checks


class Str(str):
    pass


class Dict(dict):
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
    (lambda: A(Str("http://x")), "Argument 'url' has incorrect type (expected str, got Str)"),
    (lambda: A("u", collections.OrderedDict()), "Argument 'headers' has incorrect type (expected dict, got OrderedDict)"),
    (lambda: A("u", Dict()), "Argument 'headers' has incorrect type (expected dict, got Dict)"),
    (lambda: S(Str("u")), "Argument 'url' has incorrect type (expected str, got Str)"),
    (lambda: S("u", collections.defaultdict(int)), "Argument 'headers' has incorrect type (expected dict, got defaultdict)"),
    (lambda: L(Str("p"), "u", "k"), "Argument 'prompt' has incorrect type (expected str, got Str)"),
    (lambda: L("p", "u", "k", Str("m")), "Argument 'llm_name' has incorrect type (expected str, got Str)"),
])
def test_subclass_instances_are_refused_with_a_note(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    msg = str(info.value)
    assert msg.startswith(prefix + ". ") and len(msg) > len(prefix) + 2


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom


class CountingBool:
    def __init__(self, *answers):
        self.answers, self.calls = list(answers), 0

    def __bool__(self):
        self.calls += 1
        return self.answers.pop(0)


@pytest.mark.parametrize("call", [
    lambda: A(None, headers=[], use_form=BadBool()),
    lambda: S(None, use_form=BadBool(), sse=1),
    lambda: S(None, use_form=BadBool(), sse=BadBool()),
    lambda: S(None, headers=[], sse=BadBool()),
])
def test_truth_test_errors_come_before_type_checks(call):
    with pytest.raises(Boom):
        call()


def test_stream_takes_use_form_before_sse():
    order = []

    class Tracing:
        def __init__(self, name):
            self.name = name

        def __bool__(self):
            order.append(self.name)
            return False

    S("u", sse=Tracing("sse"), use_form=Tracing("use_form"))
    assert order == ["use_form", "sse"]


@pytest.mark.parametrize("make, judged", [
    (lambda flag: A("u", use_form=flag), 1),
    (lambda flag: S("u", use_form=flag, sse=flag), 2),
])
def test_flags_are_judged_once_at_the_call(make, judged):
    flag = CountingBool(True, True, False, False)
    obj = make(flag)
    assert flag.calls == judged
    if asyncio.iscoroutine(obj):
        obj.close()
    del obj
    assert flag.calls == judged


@pytest.mark.parametrize("call", [
    lambda: A("u", headers=None),
    lambda: A(url="u"),
    lambda: A("u", {}, object(), data=1, files=0, use_form=None),
    lambda: L("p", "u", None),
    lambda: L("p", None, None),
    lambda: L(prompt="p", llm_url=1, llm_key=2, llm_name="m"),
])
def test_accepted_arguments_give_a_coroutine(call):
    coro = call()
    assert asyncio.iscoroutine(coro)
    coro.close()


def test_stream_call_gives_an_async_generator():
    agen = S("u", {}, None, data=1, files=0, use_form=0, sse=0)
    assert agen.__aiter__() is agen
    assert all(callable(getattr(agen, m)) for m in ("__anext__", "asend", "athrow", "aclose"))
    assert not inspect.isawaitable(agen)


# ------------------------------------------------------------------ traceback entries


def _entries(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


@pytest.mark.parametrize("name, make", [
    ("async_call_api", lambda url: A(url)),
    ("async_llm_api", lambda url: L("p", url, "k")),
])
def test_traceback_names_the_coroutine_function(name, make):
    url = f"http://127.0.0.1:{free_port()}/"
    with pytest.raises(aiohttp.ClientConnectionError) as info:
        run_loop(make(url))
    assert ("kelpie.courier." + name, "kelpie/courier") in _entries(info.value)
    if name == "async_llm_api":
        assert ("kelpie.courier.async_call_api", "kelpie/courier") in _entries(info.value)


def test_traceback_names_the_stream_and_the_form_builder():
    async def consume():
        async for _ in S("http://127.0.0.1:1/", files={"avatar": (1,)}):
            pass

    with pytest.raises(TypeError) as info:
        run_loop(consume())
    entries = _entries(info.value)
    assert ("kelpie.courier.async_call_api_stream", "kelpie/courier") in entries
    assert ("kelpie.courier._to_formdata", "kelpie/courier") in entries
