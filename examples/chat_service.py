"""A small local chat-completion service for trying kelpie without an account.

It speaks the usual chat-completions protocol on ``POST /v1/chat/completions``:

* a JSON body with "model" and "messages" (and optionally "stream": true);
* an optional bearer key: when the service has one, a request without the
  header ``Authorization: Bearer <key>`` gets status 401;
* without "stream", one JSON answer, a "chat.completion" object whose
  ``choices[0]["message"]["content"]`` is the service's fixed text;
* with "stream": true, a server-sent-event stream: one ``data: <json>`` event
  per "chat.completion.chunk" (the first announces the assistant role, the
  next ones carry the text piece by piece in ``choices[0]["delta"]["content"]``,
  the last one has ``"finish_reason": "stop"``), then ``data: [DONE]``.

Errors are JSON objects of the form {"error": {"message": ..., "type": ...}}.

Run it on its own with ``python examples/chat_service.py [--port 8000]``, or
start it inside a program with :func:`start`.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import re
import time
from typing import Any, Dict, List, Optional, Tuple

from aiohttp import web

PATH = "/v1/chat/completions"
DEFAULT_ANSWER = "Hello! This answer comes from the local chat service."

_ids = itertools.count(1)


def pieces(text: str) -> List[str]:
    """The text cut into the pieces that the stream sends: each word with the
    blanks that follow it, so that the pieces joined give the text back."""
    return re.findall(r"\S+\s*|\s+", text)


def _error(status: int, message: str, kind: str) -> web.Response:
    return web.json_response({"error": {"message": message, "type": kind}}, status=status)


def make_app(answer: str = DEFAULT_ANSWER, key: Optional[str] = None, pause: float = 0.0) -> web.Application:
    """The service as an aiohttp application.  `answer` is the fixed text of
    every reply, `key` the bearer key it requires (None: any or none), `pause`
    the seconds it waits before each streamed piece (to make the streaming
    visible)."""

    async def completions(request: web.Request) -> web.StreamResponse:
        if key is not None and request.headers.get("Authorization") != f"Bearer {key}":
            return _error(401, "Incorrect API key provided.", "invalid_request_error")
        try:
            body = await request.json()
        except ValueError:
            return _error(400, "The body is not valid JSON.", "invalid_request_error")
        if not isinstance(body, dict) or not isinstance(body.get("messages"), list) or not body["messages"]:
            return _error(400, "'messages' must be a non-empty list.", "invalid_request_error")
        model = body.get("model")
        if not isinstance(model, str) or not model:
            return _error(400, "'model' must be a non-empty string.", "invalid_request_error")
        ident = f"chatcmpl-local-{next(_ids)}"
        created = int(time.time())
        if not body.get("stream"):
            prompt_tokens = sum(len(str(m.get("content", "")).split()) for m in body["messages"] if isinstance(m, dict))
            completion_tokens = len(pieces(answer))
            return web.json_response({
                "id": ident,
                "object": "chat.completion",
                "created": created,
                "model": model,
                "choices": [{
                    "index": 0,
                    "message": {"role": "assistant", "content": answer},
                    "finish_reason": "stop",
                }],
                "usage": {
                    "prompt_tokens": prompt_tokens,
                    "completion_tokens": completion_tokens,
                    "total_tokens": prompt_tokens + completion_tokens,
                },
            })

        response = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-cache"})
        await response.prepare(request)

        async def send(delta: Dict[str, Any], finish_reason: Optional[str] = None) -> None:
            chunk = {
                "id": ident,
                "object": "chat.completion.chunk",
                "created": created,
                "model": model,
                "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason}],
            }
            await response.write(f"data: {json.dumps(chunk)}\n\n".encode())

        await send({"role": "assistant", "content": ""})
        for piece in pieces(answer):
            if pause:
                await asyncio.sleep(pause)
            await send({"content": piece})
        await send({}, "stop")
        await response.write(b"data: [DONE]\n\n")
        await response.write_eof()
        return response

    app = web.Application()
    app.router.add_post(PATH, completions)
    return app


async def start(host: str = "127.0.0.1", port: int = 0, **settings: Any) -> Tuple[web.AppRunner, str]:
    """Start the service (port 0: any free port) and return its runner, to be
    cleaned up by the caller, and the URL of its chat-completions endpoint."""
    runner = web.AppRunner(make_app(**settings))
    await runner.setup()
    site = web.TCPSite(runner, host, port)
    await site.start()
    bound_host, bound_port = runner.addresses[0][:2]
    return runner, f"http://{bound_host}:{bound_port}{PATH}"


def _main() -> None:
    parser = argparse.ArgumentParser(description="Run the local chat-completion service until Ctrl-C.")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--answer", default=DEFAULT_ANSWER, help="the fixed text of every reply")
    parser.add_argument("--key", help="require this bearer key")
    args = parser.parse_args()
    print(f"chat service on http://127.0.0.1:{args.port}{PATH}", flush=True)
    web.run_app(make_app(args.answer, args.key, pause=0.05), host="127.0.0.1", port=args.port, print=None)


if __name__ == "__main__":
    _main()
