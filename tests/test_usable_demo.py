"""The first-run demo (examples/demo.py) and its local chat service
(examples/chat_service.py), run as real processes and servers on 127.0.0.1."""

import asyncio
import importlib.util
import json
import pathlib
import sys

import aiohttp
import pytest
import yaml
from aiohttp import web

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
DEMO = EXAMPLES / "demo.py"
SETTINGS = yaml.safe_load((EXAMPLES / "demo.yaml").read_text(encoding="utf-8"))

_spec = importlib.util.spec_from_file_location("chat_service", EXAMPLES / "chat_service.py")
chat_service = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(chat_service)


async def run_demo(*args, cwd, watch=None):
    """Run the demo; `watch(output_so_far)` sees its standard output grow."""
    child = await asyncio.create_subprocess_exec(sys.executable, str(DEMO), *args, cwd=cwd,
                                                 stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    out = b""
    while piece := await child.stdout.read(4096):
        out += piece
        if watch:
            watch(out.decode(errors="replace"))
    err = await child.stderr.read()
    return await child.wait(), out.decode(), err.decode()


def test_local_run_shows_the_answer_the_stream_the_pair_and_the_settings(tmp_path):
    returncode, out, err = asyncio.run(run_demo(cwd=tmp_path))
    assert (returncode, err) == (0, "")
    local = SETTINGS["local_service"]
    assert f">>> load_config({str(DEMO.with_suffix('.yaml'))!r})\n{SETTINGS!r}\n" in out
    assert f"\nreply: {local['answer']}\n" in out
    assert f"\nstreamed reply: {local['answer']}\n" in out
    assert "first piece (bytes): b'{\"id\": " in out
    assert out.endswith("(401, '{\"error\": {\"message\": \"Incorrect API key provided.\", "
                        "\"type\": \"invalid_request_error\"}}')\n")
    assert list(tmp_path.iterdir()) == []


class Service:
    """A stand-in for a real chat-completion service that records what it is
    sent.  Its stream sends the first text piece, then waits until the demo
    has printed it before it sends the rest."""

    def __init__(self, refuse=False):
        self.requests = []
        self.printed = asyncio.Event()
        self.refuse = refuse
        self.waited_in_vain = False

    async def handle(self, request):
        body = await request.json()
        self.requests.append((request.headers.get("Authorization"), request.headers.get("Content-Type"), body))
        if self.refuse:
            return web.json_response({"error": {"message": "invalid key"}}, status=401)
        if not body.get("stream"):
            return web.json_response({"choices": [{"message": {"role": "assistant", "content": "Whole answer."}}]})
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await response.prepare(request)

        async def send(data):
            await response.write(f"data: {data}\n\n".encode())

        await send(json.dumps({"choices": [{"delta": {"role": "assistant"}}]}))
        await send(json.dumps({"choices": [{"delta": {"content": "Streamed "}}]}))
        try:
            await asyncio.wait_for(self.printed.wait(), 60)
        except asyncio.TimeoutError:
            self.waited_in_vain = True
        await response.write(b": keep-alive comment\n\n")
        await send(json.dumps({"choices": [{"delta": {"content": "answer."}, "finish_reason": None}]}))
        await send(json.dumps({"choices": [], "usage": {"total_tokens": 3}}))
        await send("[DONE]")
        await response.write_eof()
        return response

    def watch(self, out):
        if "streamed reply: Streamed " in out:
            self.printed.set()


async def with_service(service, *args, cwd):
    app = web.Application()
    app.router.add_post("/v1/chat/completions", service.handle)
    runner = web.AppRunner(app)
    await runner.setup()
    await web.TCPSite(runner, "127.0.0.1", 0).start()
    host, port = runner.addresses[0][:2]
    try:
        return await run_demo("--url", f"http://{host}:{port}/v1/chat/completions", *args, cwd=cwd,
                              watch=service.watch)
    finally:
        await runner.cleanup()


@pytest.mark.parametrize("args, model, prompt", [
    (["--key", "sk-test", "--model", "m-1"], "m-1", SETTINGS["prompt"]),
    (["--key", "sk-test", "--prompt", "Hi there"], "qwen3.7-max", "Hi there"),
])
def test_real_service_mode(tmp_path, args, model, prompt):
    async def scenario():
        service = Service()
        return service, await with_service(service, *args, cwd=tmp_path)

    service, (returncode, out, err) = asyncio.run(scenario())
    assert (returncode, err) == (0, "")
    assert not service.waited_in_vain  # the first piece was printed before the rest arrived
    assert "\nreply: Whole answer.\n" in out and "\nstreamed reply: Streamed answer.\n" in out
    assert "401" not in out  # the refused-request example belongs to the local run only
    message = {"role": "user", "content": prompt}
    assert service.requests == [
        ("Bearer sk-test", "application/json", {"model": model, "messages": [message]}),
        ("Bearer sk-test", "application/json", {"model": model, "messages": [message], "stream": True}),
    ]


def test_real_service_refusal_ends_with_status_1(tmp_path):
    returncode, out, err = asyncio.run(with_service(Service(refuse=True), "--key", "bad", cwd=tmp_path))
    assert (returncode, err) == (1, "")
    assert out.endswith("the service answered with status 401: {\"error\": {\"message\": \"invalid key\"}}\n")


@pytest.mark.parametrize("args, message", [
    (["--url", "http://127.0.0.1:9/"], "--url and --key go together"),
    (["--key", "k"], "--url and --key go together"),
    (["--model", "m"], "--model needs --url and --key"),
])
def test_incomplete_service_options_are_refused(tmp_path, args, message):
    returncode, out, err = asyncio.run(run_demo(*args, cwd=tmp_path))
    assert (returncode, out) == (2, "")
    assert err.endswith(f"demo.py: error: {message}\n")


async def talk_to_local_service(body, headers):
    runner, url = await chat_service.start(answer="Hi, you  two.", key="k1")
    try:
        async with aiohttp.ClientSession() as session:
            async with session.post(url, json=body, headers=headers) as response:
                return response.status, response.content_type, await response.text()
    finally:
        await runner.cleanup()


MESSAGES = [{"role": "user", "content": "hello there"}]


def test_local_service_answers_in_one_piece():
    status, content_type, text = asyncio.run(
        talk_to_local_service({"model": "m", "messages": MESSAGES}, {"Authorization": "Bearer k1"}))
    answer = json.loads(text)
    assert (status, content_type) == (200, "application/json")
    assert answer["object"] == "chat.completion" and answer["model"] == "m"
    assert answer["choices"] == [{"index": 0, "message": {"role": "assistant", "content": "Hi, you  two."},
                                  "finish_reason": "stop"}]
    assert answer["usage"] == {"prompt_tokens": 2, "completion_tokens": 3, "total_tokens": 5}


def test_local_service_streams_server_sent_events():
    status, content_type, text = asyncio.run(talk_to_local_service(
        {"model": "m", "messages": MESSAGES, "stream": True}, {"Authorization": "Bearer k1"}))
    assert (status, content_type) == (200, "text/event-stream")
    events = text.split("\n\n")
    assert events[-2:] == ["data: [DONE]", ""]
    chunks = [json.loads(event.removeprefix("data: ")) for event in events[:-2]]
    assert all(event.startswith("data: {") for event in events[:-2])
    assert {(c["object"], c["model"], c["id"]) for c in chunks} == {("chat.completion.chunk", "m", chunks[0]["id"])}
    deltas = [c["choices"][0]["delta"] for c in chunks]
    assert deltas[0] == {"role": "assistant", "content": ""} and deltas[-1] == {}
    assert [d["content"] for d in deltas[1:-1]] == ["Hi, ", "you  ", "two."]
    assert [c["choices"][0]["finish_reason"] for c in chunks] == [None] * (len(chunks) - 1) + ["stop"]


@pytest.mark.parametrize("body, headers, status, message", [
    ({"model": "m", "messages": MESSAGES}, {}, 401, "Incorrect API key provided."),
    ({"model": "m", "messages": MESSAGES}, {"Authorization": "Bearer k2"}, 401, "Incorrect API key provided."),
    ({"model": "m", "messages": []}, {"Authorization": "Bearer k1"}, 400, "'messages' must be a non-empty list."),
    ({"messages": MESSAGES}, {"Authorization": "Bearer k1"}, 400, "'model' must be a non-empty string."),
    ([1, 2], {"Authorization": "Bearer k1"}, 400, "'messages' must be a non-empty list."),
])
def test_local_service_refusals(body, headers, status, message):
    got_status, content_type, text = asyncio.run(talk_to_local_service(body, headers))
    assert (got_status, content_type) == (status, "application/json")
    assert json.loads(text) == {"error": {"message": message, "type": "invalid_request_error"}}
