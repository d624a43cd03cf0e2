"""async_call_api against a real aiohttp.web server: what is sent, and what
comes back for each kind of answer."""

import io
import json

import aiohttp
import pytest

from tests.courier_support import courier, run

call = courier.async_call_api
FORM_TYPES = ("multipart/form-data", "application/x-www-form-urlencoded")


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.parametrize("kwargs, form_fields", [
    (dict(files={}, data={"d": "1"}), None),
    (dict(data={"d": "1"}), None),
    (dict(use_form=None, data={"d": "1"}), None),
    (dict(use_form=0, files=None), None),
    (dict(use_form=True), []),
    (dict(use_form=True, data={"a": "1", "b": None}), [("a", b"1"), ("b", b"")]),
    (dict(use_form="yes", data={"n": 3}), [("n", b"3")]),
    (dict(use_form=1, data={"t": True}, files={}), [("t", b"True")]),
    (dict(use_form=Truthy()), []),
    (dict(data={"a": "x"}, files={"f": ("f.txt", io.BytesIO(b"F"))}), [("a", b"x"), ("f", b"F")]),
])
def test_request_mode(recorder, kwargs, form_fields):
    payload = {"z": 1, "a": [1, 2.5, None], "m": {"k": "é中"}, "b": True}
    headers = {"X-Token": "abc def", "User-Agent": "kelpie-test/1"}

    async def go(srv):
        return await call(srv.url("/reply"), headers, payload, **kwargs), srv.received[0]

    result, got = run(go)
    assert result == {"ok": True}
    assert recorder.session_args == [((), {})]
    (args, post_kwargs), = recorder.post_calls
    assert len(args) == 1 and post_kwargs[0][0] == "headers" and post_kwargs[0][1] is headers
    assert all(got.headers[name] == value for name, value in headers.items())
    if form_fields is None:
        assert [k for k, _ in post_kwargs] == ["headers", "json"] and post_kwargs[1][1] is payload
        assert got.content_type == "application/json"
        assert got.json(object_pairs_hook=list) == json.loads(json.dumps(payload), object_pairs_hook=list)
    else:
        assert [k for k, _ in post_kwargs] == ["headers", "data"]
        assert isinstance(post_kwargs[1][1], aiohttp.FormData)
        assert got.content_type in FORM_TYPES
        assert [(name, value) for name, _, _, value in got.fields] == form_fields


def test_json_mode_passes_none_payload_and_headers_on(recorder):
    async def go(srv):
        return await call(srv.url("/reply")), srv.received[0]

    result, got = run(go)
    assert result == {"ok": True}
    assert recorder.post_calls[0][1] == [("headers", None), ("json", None)]
    assert got.body == b"" and got.content_type not in FORM_TYPES


def test_form_builder_is_looked_up_at_call_time(monkeypatch):
    seen = []

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        form = aiohttp.FormData()
        form.add_field("from", "spy")
        return form

    monkeypatch.setattr(courier, "_to_formdata", spy)
    data, files = {"ignored": "by spy"}, {"f": ("n", io.BytesIO(b"x"))}

    async def go(srv):
        return await call(srv.url("/reply"), data=data, files=files), srv.received[0]

    result, got = run(go)
    assert result == {"ok": True}
    assert len(seen) == 1 and seen[0][0] == () and list(seen[0][1]) == ["data", "files"]
    assert seen[0][1]["data"] is data and seen[0][1]["files"] is files
    assert [(f[0], f[3]) for f in got.fields] == [("from", b"spy")]


OK_JSON = [('{"a": [1, 2]}', {"a": [1, 2]}), ('[1, "x"]', [1, "x"]), ('"s"', "s"), ("3.5", 3.5),
           ("null", None), ("true", True)]


@pytest.mark.parametrize("use_form", [False, True], ids=["json", "form"])
@pytest.mark.parametrize("status, ctype, body, expected", [
    *[(200, "application/json", b, e) for b, e in OK_JSON],
    (201, "application/json", '{"a": 1}', (201, '{"a": 1}')),
    (202, "application/json", '{"queued": true}', (202, '{"queued": true}')),
    (204, "text/plain", "", (204, "")),
    (401, "application/json", '{"error": "no key"}', (401, '{"error": "no key"}')),
    (404, "text/plain", "Not Found", (404, "Not Found")),
    (500, "text/plain", "boom 中", (500, "boom 中")),
])
def test_answers_by_status(use_form, status, ctype, body, expected):
    async def go(srv):
        return await call(srv.url("/reply", status=str(status), ctype=ctype, body=body), use_form=use_form)

    result = run(go)
    assert result == expected and type(result) is type(expected)
    if isinstance(expected, tuple):
        assert type(result[0]) is int and type(result[1]) is str


@pytest.mark.parametrize("ctype, body, json_mode_error", [
    ("text/plain", "plain text", aiohttp.ContentTypeError),
    ("text/html", '{"a": 1}', aiohttp.ContentTypeError),
    ("application/json", "not json{", json.JSONDecodeError),
])
def test_non_json_success(ctype, body, json_mode_error):
    async def form_mode(srv):
        return await call(srv.url("/reply", ctype=ctype, body=body), use_form=True)

    async def json_mode(srv):
        return await call(srv.url("/reply", ctype=ctype, body=body), payload={"x": 1})

    assert run(form_mode) == body
    with pytest.raises(json_mode_error):
        run(json_mode)
