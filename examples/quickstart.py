"""A first run of kelpie without any account: a small local chat-completion
service answers async_llm_api and a streamed request, then a project skeleton
is created in a temporary directory."""

import asyncio
import json
import os
import tempfile

from aiohttp import web

from kelpie.courier import async_call_api_stream, async_llm_api
from kelpie.larder import load_config, main, save_txt

ANSWER = "Hello from the local chat service."


async def chat(request: web.Request) -> web.StreamResponse:
    body = await request.json()
    if not body.get("stream"):
        return web.json_response({"model": body["model"],
                                  "choices": [{"message": {"role": "assistant", "content": ANSWER}}]})
    response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
    await response.prepare(request)
    for word in ANSWER.split():
        await response.write(f"data: {json.dumps({'delta': word})}\n\n".encode())
        await asyncio.sleep(0.05)
    await response.write(b"data: [DONE]\n\n")
    await response.write_eof()
    return response


async def run() -> None:
    app = web.Application()
    app.router.add_post("/v1/chat/completions", chat)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    url = f"http://127.0.0.1:{site._server.sockets[0].getsockname()[1]}/v1/chat/completions"
    try:
        answer = await async_llm_api("Say hello", url, "local-key")
        print("async_llm_api ->", answer["choices"][0]["message"]["content"])
        print("stream ->", end=" ")
        async for piece in async_call_api_stream(url, payload={"model": "m", "stream": True}, sse=True):
            print(piece.decode(), end=" ", flush=True)
        print()
    finally:
        await runner.cleanup()


if __name__ == "__main__":
    asyncio.run(run())
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "config.yaml")
        save_txt(["name: demo", "retries: 3"], config)
        print("load_config ->", load_config(config))
        main("demo", tmp)
