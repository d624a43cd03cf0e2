"""The local aiohttp.web server of the end-to-end benchmarks.

Run as its own process (``python server.py [--cpu N]``), pinned to one CPU; it
prints "port <n>" once it listens on 127.0.0.1 and serves until killed.

Routes:
  POST /json                 reads the JSON body, answers {"ok": true, "echo": <body>}
  POST /status/<code>        answers that status with a short text body
  POST /sse?events=N         an event stream of N events ("data: {...}" and a blank line each)
  POST /chunks?size=N        N bytes of a fixed pattern, written 64 KiB at a time
  GET  /files/<name>?size=N  the same bytes, for downloads
"""

import argparse
import asyncio
import os
import sys

from aiohttp import web

BLOCK = bytes(range(256)) * 4096  # 1 MiB
WRITE_SIZE = 64 * 1024
_sse_cache = {}


def sse_body(events):
    body = _sse_cache.get(events)
    if body is None:
        parts = []
        for i in range(events):
            parts.append(b'data: {"id": %d, "choices": [{"delta": {"content": "tok%d"}}]}\n\n' % (i, i % 97))
        body = _sse_cache[events] = b"".join(parts)
    return body


# The one-shot answers close the connection from the server's side, so the
# TIME_WAIT sockets stay with the server's port instead of piling up on the
# client's ephemeral ports, where thousands of them would make every connect()
# slower and the client's CPU time drift from run to run.


async def handle_json(request):
    body = await request.json()
    resp = web.json_response({"ok": True, "echo": body})
    resp.force_close()
    return resp


async def handle_status(request):
    await request.read()
    code = int(request.match_info["code"])
    resp = web.Response(status=code, text=f"status {code} from the bench server")
    resp.force_close()
    return resp


async def _stream(request, body_size, pieces, content_type):
    resp = web.StreamResponse(headers={"Content-Type": content_type})
    resp.content_length = body_size
    await resp.prepare(request)
    for piece in pieces:
        await resp.write(piece)
    await resp.write_eof()
    return resp


async def handle_sse(request):
    await request.read()
    body = sse_body(int(request.query.get("events", "1000")))
    view = memoryview(body)
    pieces = (view[i : i + WRITE_SIZE] for i in range(0, len(body), WRITE_SIZE))
    return await _stream(request, len(body), pieces, "text/event-stream")


def _pattern_pieces(size):
    view = memoryview(BLOCK)
    sent = 0
    while sent < size:
        n = min(WRITE_SIZE, size - sent)
        start = sent % len(BLOCK)
        yield view[start : start + n]
        sent += n


async def handle_chunks(request):
    await request.read()
    size = int(request.query.get("size", "1048576"))
    return await _stream(request, size, _pattern_pieces(size), "application/octet-stream")


async def handle_file(request):
    size = int(request.query.get("size", "1048576"))
    return await _stream(request, size, _pattern_pieces(size), "application/octet-stream")


def make_app():
    app = web.Application(client_max_size=64 * 1024 * 1024)
    app.add_routes([web.post("/json", handle_json), web.post("/status/{code}", handle_status),
                    web.post("/sse", handle_sse), web.post("/chunks", handle_chunks),
                    web.get("/files/{name}", handle_file)])
    return app


async def serve():
    runner = web.AppRunner(make_app(), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0, backlog=4096)
    await site.start()
    port = runner.addresses[0][1]
    print(f"port {port}", flush=True)
    await asyncio.Event().wait()  # until the process is killed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpu", type=int)
    args = parser.parse_args()
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
