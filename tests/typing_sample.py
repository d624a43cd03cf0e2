"""A program that calls every function of kelpie.courier and kelpie.larder
as their type stubs describe them.

Type checking: ``mypy --strict`` must accept this file as it stands.  The
``assert_type`` calls pin the declared result types; every misuse in
``misuses()`` carries a ``# type: ignore[<code>]`` comment, which strict mode
reports as unused if the stubs ever stop rejecting that misuse.

Running: ``python typing_sample.py`` in an empty directory, with the answers
to the project dialogue on standard input ("proj", "y", ""), starts a local
aiohttp server and checks that the values have the shapes the stubs declare.
It prints "typing sample: all calls returned the declared shapes" at the end.
"""

from __future__ import annotations

import asyncio
import io
import os
import pathlib
from typing import IO, TYPE_CHECKING, Any, AsyncGenerator, Dict, List, Tuple, Union

import aiohttp
from aiohttp import web

from kelpie.courier import (
    DataType,
    FilesType,
    FileValue,
    _to_formdata,
    async_call_api,
    async_call_api_stream,
    async_llm_api,
)
from kelpie.larder import (
    CATALOGUES,
    create_empty_file,
    download_url_content,
    gen_catalogue,
    initialize_catalogue,
    initialize_env,
    initialize_file,
    initialize_gitignore,
    initialize_md,
    initialize_py,
    initialize_sh,
    initialize_txt,
    load_config,
    main,
    read_json,
    read_md,
    read_txt,
    save_txt,
    write_md,
)

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value, _type):
        return value


Answer = Union[Any, Tuple[int, str]]


# ---- a local peer -------------------------------------------------------------


async def echo(request: web.Request) -> web.Response:
    if request.content_type in ("multipart/form-data", "application/x-www-form-urlencoded"):
        fields: Dict[str, str] = {}
        for name, value in (await request.post()).items():
            if isinstance(value, web.FileField):
                fields[name] = value.file.read().decode()
            else:
                fields[name] = value if isinstance(value, str) else value.decode()
        return web.json_response({"form": fields})
    return web.json_response({"json": await request.json(), "auth": request.headers.get("Authorization")})


async def refuse(request: web.Request) -> web.Response:
    return web.Response(status=404, text="nothing here")


async def events(request: web.Request) -> web.StreamResponse:
    response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
    await response.prepare(request)
    await response.write(b"event: greeting\ndata: hello\n\ndata: world\n\n")
    await response.write_eof()
    return response


async def chat(request: web.Request) -> web.Response:
    body = await request.json()
    return web.json_response({"model": body["model"], "choices": [{"message": {"content": "hi"}}]})


async def download(request: web.Request) -> web.Response:
    return web.Response(body=b"downloaded bytes")


# ---- kelpie.courier ---------------------------------------------------------------


async def use_courier(base: str) -> None:
    upload: IO[bytes] = io.BytesIO(b"file content")
    one: FileValue = upload
    files: FilesType = {"a": one, "b": ("b.txt", io.BytesIO(b"B")), "c": ("c.txt", io.BytesIO(b"C"), "text/plain")}
    data: DataType = {"n": 1, "s": "x"}

    form = _to_formdata(data=data, files=files)
    assert_type(form, aiohttp.FormData)
    assert isinstance(form, aiohttp.FormData)
    assert isinstance(_to_formdata(), aiohttp.FormData)

    answer = await async_call_api(f"{base}/echo", {"X-Sample": "1"}, {"q": [1, 2]})
    assert_type(answer, Answer)
    assert answer == {"json": {"q": [1, 2]}, "auth": None}

    answer = await async_call_api(f"{base}/echo", data={"n": 1}, files={"f": ("f.txt", io.BytesIO(b"F"))})
    assert answer == {"form": {"n": "1", "f": "F"}}
    answer = await async_call_api(url=f"{base}/echo", data=data, use_form=True)
    assert answer == {"form": {"n": "1", "s": "x"}}

    pair = await async_call_api(f"{base}/missing", payload={})
    if isinstance(pair, tuple):
        status, text = pair
        assert (status, text) == (404, "nothing here")
    else:
        raise AssertionError(f"expected the (status, text) pair, got {pair!r}")

    stream = async_call_api_stream(f"{base}/events", sse=True)
    assert_type(stream, AsyncGenerator[bytes, None])
    pieces: List[bytes] = []
    async for piece in stream:
        assert_type(piece, bytes)
        pieces.append(piece)
    assert pieces == [b"hello", b"world"]

    chunks = async_call_api_stream(f"{base}/events", headers=None, payload=None, data=None, files=None,
                                   use_form=False, sse=False)
    body = b"".join([chunk async for chunk in chunks])
    assert body == b"event: greeting\ndata: hello\n\ndata: world\n\n"
    await chunks.aclose()

    reply = await async_llm_api("hello", f"{base}/chat", "sample-key")
    assert_type(reply, Answer)
    assert not isinstance(reply, tuple) and reply["model"] == "qwen3.7-max"
    reply = await async_llm_api(prompt="hello", llm_url=f"{base}/chat", llm_key=None, llm_name="other")
    assert not isinstance(reply, tuple) and reply["model"] == "other"


# ---- kelpie.larder --------------------------------------------------------------------


def use_larder(download_dir: str) -> None:
    save_txt(["a", 1, None], "lines.txt")
    save_txt("as is", "plain.txt")
    text = read_txt("lines.txt")
    assert_type(text, str)
    assert text == "a\n1\nNone\n"
    assert read_txt(pathlib.Path("plain.txt"), "utf-8") == "as is"

    save_txt('{"k": [1, 2]}', "data.json")
    decoded = read_json("data.json")
    assert_type(decoded, Any)
    assert decoded == {"k": [1, 2]}

    save_txt(["name: sample", "retries: 3"], "config.yaml")
    config = load_config("config.yaml")
    assert_type(config, Any)
    assert config == {"name": "sample", "retries": 3}
    assert load_config(pathlib.Path("config.yaml"), encoding="utf-8") == config

    write_md("# Title\n", "README.md")
    write_md("# Other\n", pathlib.Path("OTHER.md"), None)
    md = read_md("README.md")
    assert_type(md, str)
    assert md == "# Title\n" and read_md(pathlib.Path("OTHER.md"), encoding=None) == "# Other\n"

    create_empty_file("README.md")
    assert os.path.getsize("README.md") == 0
    os.mkdir("kinds")
    for initialize in (initialize_env, initialize_gitignore, initialize_txt, initialize_md, initialize_sh,
                       initialize_py):
        initialize(pathlib.Path("kinds", initialize.__name__), "utf-8")
    assert sorted(os.listdir("kinds")) == sorted(f"initialize_{k}" for k in ("env", "gitignore", "txt", "md",
                                                                               "sh", "py"))
    initialize_file(os.path.join("kinds", "extra.txt"))
    assert os.path.exists(os.path.join("kinds", "extra.txt"))

    initialize_catalogue("tree", ["a.txt", "empty", {"sub": ["b.py"]}])
    initialize_catalogue(pathlib.Path("tree2"), {"only": {"deeper": ["c.md"]}})
    assert os.path.isfile(os.path.join("tree", "sub", "b.py"))
    assert os.path.isfile(os.path.join("tree2", "only", "deeper", "c.md"))

    assert "README.md" in CATALOGUES
    main("direct")
    main(name="placed", dir_path="projects")
    assert os.path.isdir(os.path.join("direct", "src", "prod"))
    assert os.path.isdir(os.path.join("projects", "placed", "src", "tests"))

    gen_catalogue()  # answers come from standard input
    assert os.path.isfile(os.path.join("proj", "src", "dev", "api", "app.py"))

    saved = download_url_content(download_dir, ".", 1024.9)
    assert_type(saved, str)
    assert saved == os.path.join(".", "file.bin") and read_txt(saved) == "downloaded bytes"


# ---- misuses that the stubs must reject ----------------------------------------------------


async def misuses() -> None:  # never run
    _ = async_call_api("u", None, None, {"data": "keyword-only"})  # type: ignore[call-arg]
    _ = async_call_api(None)  # type: ignore[arg-type]
    _ = async_call_api("u", headers=[("a", "b")])  # type: ignore[arg-type]
    _ = async_call_api("u", data=[("a", "b")], use_form=True)  # type: ignore[arg-type]
    _ = async_call_api_stream("u", None, None, None)  # type: ignore[call-arg]
    await async_call_api_stream("u")  # type: ignore[misc]
    async for _piece in async_call_api("u"):  # type: ignore[attr-defined]
        pass
    async for piece in async_call_api_stream("u"):
        as_text: str = piece  # type: ignore[assignment]
    result: str = await async_call_api("u")  # type: ignore[assignment]
    _ = async_llm_api(None, "u", "k")  # type: ignore[arg-type]
    _ = async_llm_api("p", "u", "k", None)  # type: ignore[arg-type]
    _to_formdata({}, {}, {})  # type: ignore[call-arg]
    _to_formdata(files={"f": b"raw bytes are not a file"})  # type: ignore[dict-item]

    read_json(pathlib.Path("x.json"))  # type: ignore[arg-type]
    save_txt(("a",), "x.txt")  # type: ignore[arg-type]
    save_txt(["a"], pathlib.Path("x.txt"))  # type: ignore[arg-type]
    read_txt("x.txt", None)  # type: ignore[arg-type]
    create_empty_file("x.txt", None)  # type: ignore[arg-type]
    initialize_py("x.py", encoding=None)  # type: ignore[arg-type]
    initialize_file(pathlib.Path("x.txt"))  # type: ignore[arg-type]
    main("p", None)  # type: ignore[arg-type]
    gen_catalogue("no arguments")  # type: ignore[call-arg]
    download_url_content("u", "d", "8192")  # type: ignore[arg-type]
    download_url_content(b"u", "d")  # type: ignore[arg-type]
    size: int = read_txt("x.txt")  # type: ignore[assignment]
    nothing = write_md("x", "x.md")  # type: ignore[func-returns-value]


# ---- the run ------------------------------------------------------------------------------


async def run() -> None:
    app = web.Application()
    app.router.add_post("/echo", echo)
    app.router.add_post("/missing", refuse)
    app.router.add_post("/events", events)
    app.router.add_post("/chat", chat)
    app.router.add_get("/files/file.bin", download)
    runner = web.AppRunner(app)
    await runner.setup()
    await web.TCPSite(runner, "127.0.0.1", 0).start()
    host, port = runner.addresses[0][:2]
    base = f"http://{host}:{port}"
    try:
        await use_courier(base)
        await asyncio.to_thread(use_larder, f"{base}/files/file.bin?version=1")
    finally:
        await runner.cleanup()


if __name__ == "__main__":
    asyncio.run(run())
    print("typing sample: all calls returned the declared shapes")
