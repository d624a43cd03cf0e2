"""async_llm_api: the chat request it builds and what it hands back."""

import asyncio

import aiohttp
import pytest

from tests.courier_support import courier, run

llm = courier.async_llm_api


@pytest.mark.parametrize("args, kwargs, model, auth", [
    (("hi", "sk-1"), {}, "qwen3.7-max", "Bearer sk-1"),
    (("hi", None), {}, "qwen3.7-max", "Bearer None"),
    (("hi", 42, "m-1"), {}, "m-1", "Bearer 42"),
    (("hi",), {"llm_key": "k", "llm_name": ""}, "", "Bearer k"),
])
def test_request_as_the_service_receives_it(args, kwargs, model, auth):
    async def go(srv):
        answer = await llm(args[0], srv.url("/reply", body='{"choices": [{"message": {"content": "yo"}}]}'),
                           *args[1:], **kwargs)
        return answer, srv.received

    answer, received = run(go)
    assert answer == {"choices": [{"message": {"content": "yo"}}]}
    got, = received
    assert got.json(object_pairs_hook=list) == [
        ("model", model), ("messages", [[("role", "user"), ("content", args[0])]])]
    assert got.headers["Authorization"] == auth
    assert got.content_type == "application/json"


class Fmt:
    def __format__(self, spec):
        return f"fmt<{spec}>"


@pytest.mark.parametrize("key, auth", [
    ("sk-1", "Bearer sk-1"), (None, "Bearer None"), (42, "Bearer 42"), (1.5, "Bearer 1.5"), (True, "Bearer True"),
    (Fmt(), "Bearer fmt<>"), (" padded ", "Bearer  padded "), ("", "Bearer "),
])
def test_delegates_to_async_call_api(monkeypatch, key, auth):
    seen, answer, url = [], object(), object()

    async def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return answer

    monkeypatch.setattr(courier, "async_call_api", spy)
    assert asyncio.run(llm("写一首诗", url, key, "model-x")) is answer
    (args, kwargs), = seen
    assert len(args) == 1 and args[0] is url
    assert list(kwargs) == ["headers", "payload"]
    assert list(kwargs["headers"].items()) == [("Authorization", auth), ("Content-Type", "application/json")]
    payload = kwargs["payload"]
    assert list(payload) == ["model", "messages"] and payload["model"] == "model-x"
    assert payload["messages"] == [{"role": "user", "content": "写一首诗"}]
    assert list(payload["messages"][0]) == ["role", "content"]


def test_failed_status_comes_back_as_a_pair():
    async def go(srv):
        return await llm("hi", srv.url("/reply", status="401", body='{"error": "bad key"}'), "k")

    assert run(go) == (401, '{"error": "bad key"}')


def test_non_json_success_raises():
    async def go(srv):
        return await llm("hi", srv.url("/reply", ctype="text/plain", body="hello"), "k")

    with pytest.raises(aiohttp.ContentTypeError):
        run(go)


def test_url_is_checked_only_when_awaited():
    coro = llm("hi", None, "k")
    with pytest.raises(TypeError) as info:
        asyncio.run(coro)
    assert str(info.value) == "Argument 'url' has incorrect type (expected str, got NoneType)"


@pytest.mark.parametrize("name, make", [
    ("async_call_api", lambda url: llm("hi", url, "k")),
    ("_to_formdata", lambda url: courier.async_call_api(url, use_form=True)),
    ("aiohttp", lambda url: courier.async_call_api(url)),
])
def test_module_globals_are_looked_up_when_used(name, make):
    namespace = vars(courier)
    saved = dict(namespace)
    coro = make("http://127.0.0.1:1/")
    del namespace[name]
    try:
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            asyncio.run(coro)
    finally:  # put everything back in its original order
        namespace.clear()
        namespace.update(saved)
