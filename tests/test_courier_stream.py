"""async_call_api_stream against a real server: raw chunks, event-stream
lines (also when the network splits them), failed statuses, request modes."""

import io

import pytest

from tests.courier_support import courier, run

stream = courier.async_call_api_stream


def play(pieces, **kwargs):
    """Serve `pieces` one network write at a time; collect what the stream yields."""

    async def go(srv):
        srv.scripts["k"] = pieces
        return [item async for item in stream(srv.url("/script/k"), **kwargs)]

    return run(go)


def test_chunks_add_up_to_the_body():
    pieces = [b"alpha", b"beta-" * 20000, b"\x00\xff\r\n", b"", b"gamma"]
    items = play(pieces)
    assert items and all(type(i) is bytes and i for i in items)
    assert b"".join(items) == b"".join(pieces)


def test_chunk_mode_passes_lines_through_untouched():
    pieces = [b"data: a\r\n", b": ping\n\n", b"event: x\n"]
    assert b"".join(play(pieces, sse=False)) == b"".join(pieces)


SSE = b"data: a\ndata:b\ndata:\nevent: x\n\n: ping\nDATA: c\n"


def split_every(raw, n):
    return [raw[i:i + n] for i in range(0, len(raw), n)]


@pytest.mark.parametrize("pieces, expected", [
    ([SSE], [b"a", b"b", b""]),
    ([SSE.replace(b"\n", b"\r\n")], [b"a", b"b", b""]),
    (split_every(SSE.replace(b"\n", b"\r\n"), 3), [b"a", b"b", b""]),
    ([b"da", b"ta: hel", b"lo\r", b"\ndata: wor", b"ld\n"], [b"hello", b"world"]),
    (split_every("data: 中文ü\n".encode(), 7), ["中文ü".encode()]),
    ([b"data: a\xffb\n", b"\xfedata: x\n", b"data: \xe4\xb8\n"], [b"ab", b"x", b""]),
    ([b"   data: lead\n", b"\t data:\t x y \t\r\n"], [b"lead", b"x y"]),
    ([b"data: one\n", b"data: tail"], [b"one", b"tail"]),
    ([b"data: [DONE]\n", b"data: after\n"], [b"[DONE]", b"after"]),
    ([b"event: m\nid: 1\ndata: 1\ndata: 2\n\nretry: 5\n"], [b"1", b"2"]),
    ([b"data\ndata :x\nxdata: y\n data\n:data: z\n"], []),
    ([b'data: {"k": [1, 2]}\ndata:data: x\n'], [b'{"k": [1, 2]}', b"data: x"]),
    ([b"\n\n\r\n", b"data:  \n"], [b""]),
    (["data:\u3000x\u3000\n".encode()], [b"x"]),
    # bytes that do not decode vanish before the rule looks at the line,
    # wherever they are: in the leading space, inside "data:", after it
    ([b"\xff data: x\n", b"da\xffta: y\n", b"\xe3\x80data: z\n", b"\xed\xa0\x80 data:\xf0\x9f w\xff\n"],
     [b"x", b"y", b"z", b"w"]),
    ([b"\xc3\x80data: no\n", b"d\xc3\x80ata: no\n", b"\x80\x80\n"], []),
])
def test_event_stream_lines(pieces, expected):
    items = play(pieces, sse=True)
    assert items == expected and all(type(i) is bytes for i in items)


@pytest.mark.parametrize("sse", [False, True])
@pytest.mark.parametrize("status, body", [(404, "Not Found"), (201, '{"a": 1}'), (500, ""), (204, ""),
                                          (400, "bad 中")])
def test_failed_status_raises_with_status_and_text(sse, status, body):
    async def go(srv):
        agen = stream(srv.url("/reply", status=str(status), body=body, ctype="text/plain"), sse=sse)
        with pytest.raises(RuntimeError) as info:
            await agen.__anext__()
        with pytest.raises(StopAsyncIteration):
            await agen.__anext__()
        return info.value

    err = run(go)
    assert type(err) is RuntimeError and err.args == (f"{status}: {body}",)


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.parametrize("kwargs, form_fields", [
    (dict(), None),
    (dict(files={}, data={"d": "1"}), None),
    (dict(use_form=0, data={"d": "1"}, sse=True), None),
    (dict(use_form=True), []),
    (dict(use_form=Truthy(), data={"a": 1, "b": None}, sse=True), [("a", b"1"), ("b", b"")]),
    (dict(files={"f": ("f.txt", io.BytesIO(b"F"), "text/x")}, data={"a": "x"}), [("a", b"x"), ("f", b"F")]),
])
def test_request_modes(recorder, kwargs, form_fields):
    payload, headers = {"p": [1, {"q": None}]}, {"X-Stream": "yes", "Accept": "text/event-stream"}

    async def go(srv):
        url = srv.url("/reply", ctype="text/plain", body="data: ok\n")
        return [i async for i in stream(url, headers, payload, **kwargs)], srv.received[0]

    items, got = run(go)
    assert items == ([b"ok"] if kwargs.get("sse") else [b"data: ok\n"])
    assert recorder.session_args == [((), {})]
    (args, post_kwargs), = recorder.post_calls
    assert len(args) == 1 and post_kwargs[0] == ("headers", headers) and post_kwargs[0][1] is headers
    assert got.headers["X-Stream"] == "yes" and got.headers["Accept"] == "text/event-stream"
    if form_fields is None:
        assert [k for k, _ in post_kwargs] == ["headers", "json"] and post_kwargs[1][1] is payload
        assert got.content_type == "application/json" and got.json() == payload
    else:
        assert [k for k, _ in post_kwargs] == ["headers", "data"]
        assert [(name, value) for name, _, _, value in got.fields] == form_fields
