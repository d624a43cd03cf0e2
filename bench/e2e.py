"""End-to-end benchmarks against the local aiohttp.web server of server.py,
which runs in its own process on the other CPU.  Here the real aiohttp (and
requests) do the work; what is compared is the whole client side."""

import asyncio
import hashlib
import os
import shutil

import aiohttp

from harness import Benchmark, side_module

MiB = 1024 * 1024


class _Client(Benchmark):
    rounds = 5
    metrics = ("wall", "cpu")

    def __init__(self, side, cfg):
        super().__init__(side, cfg)
        self.mod = side_module(side, "courier")
        self.mod.aiohttp = aiohttp  # the real library, whatever ran before
        self.loop = asyncio.new_event_loop()

    def close(self):
        self.loop.close()


# ---- E1 ----------------------------------------------------------------------------


class _E1(_Client):
    target = 1.02
    unit = "us"
    ops_key = "calls"
    concurrency = 1

    sizes = {"calls": (500, 2000)}
    context = ("server",)

    def output(self):
        f = self.mod.async_call_api
        server = self.cfg["server"]

        async def both():
            ok = await f(server + "/json", headers={"X-Bench": "1"}, payload={"q": [1, 2, 3], "s": "é"})
            failed = await f(server + "/status/404", payload={})
            return ok, failed

        return self.loop.run_until_complete(both())

    async def _calls(self):
        f = self.mod.async_call_api
        url = self.cfg["server"] + "/json"
        headers = {"X-Bench": "1"}
        payload = {"q": [1, 2, 3], "name": "kelpie"}

        async def sequence(k):
            for _ in range(k):
                await f(url, headers=headers, payload=payload)

        calls, tasks = self.cfg["calls"], self.concurrency
        await asyncio.gather(*(sequence(calls // tasks + (t < calls % tasks)) for t in range(tasks)))

    def run(self):
        self.loop.run_until_complete(self._calls())


class E1C1(_E1):
    key = "E1-c1"
    name = "E1 2000 calls, conc 1"
    metrics = ("cpu", "wall")
    rounds = 9


class E1C50(_E1):
    key = "E1-c50"
    name = "E1 2000 calls, conc 50"
    concurrency = 50


class E1C500(_E1):
    key = "E1-c500"
    name = "E1 2000 calls, conc 500"
    concurrency = 500


# ---- E2 ----------------------------------------------------------------------------


class E2Sse(_Client):
    key = "E2-sse"
    name = "E2 sse 200k events"
    target = 1.0
    unit = "ms"
    track_rss = True

    sizes = {"events": (10_000, 200_000)}
    context = ("server",)

    def stream(self):
        url = f"{self.cfg['server']}/sse?events={self.cfg['events']}"
        return self.mod.async_call_api_stream(url, payload={"stream": True}, sse=True)

    def output(self):
        async def consume():
            h = hashlib.sha256()
            n = 0
            first = []
            async for item in self.stream():
                if type(item) is not bytes:
                    return ("not bytes", type(item).__name__)
                h.update(len(item).to_bytes(8, "little") + item)
                n += 1
                if n <= 3:
                    first.append(item)
            return {"items": n, "sha256": h.hexdigest(), "first": first}

        return self.loop.run_until_complete(consume())

    async def _consume(self):
        n = 0
        async for _ in self.stream():
            n += 1
        return n

    def run(self):
        self.loop.run_until_complete(self._consume())


class E2Chunks(E2Sse):
    key = "E2-chunks"
    name = "E2 chunks 256 MiB"
    sizes = {"size": (16 * MiB, 256 * MiB)}

    def stream(self):
        url = f"{self.cfg['server']}/chunks?size={self.cfg['size']}"
        return self.mod.async_call_api_stream(url, payload={"stream": True})

    def output(self):
        async def consume():
            h = hashlib.sha256()
            n = 0
            async for chunk in self.stream():
                if type(chunk) is not bytes or not chunk:
                    return ("bad chunk", type(chunk).__name__, len(chunk))
                h.update(chunk)
                n += len(chunk)
            return {"bytes": n, "sha256": h.hexdigest()}

        return self.loop.run_until_complete(consume())


# ---- E3 ----------------------------------------------------------------------------


class E3Download(Benchmark):
    key = "E3"
    name = "E3 download 256 MiB"
    target = 1.0
    unit = "ms"
    rounds = 5
    metrics = ("wall", "cpu")
    track_rss = True

    @classmethod
    def configure(cls, ctx):
        size = (16 if ctx.quick else 256) * MiB
        return {"url": f"{ctx.server}/files/blob.bin?size={size}", "workdir": ctx.workdir}

    def __init__(self, side, cfg):
        super().__init__(side, cfg)
        self.mod = side_module(side, "larder")
        self.dir = os.path.join(cfg["workdir"], f"download-{side}")
        os.makedirs(self.dir, exist_ok=True)

    def output(self):
        from glue import outcomes

        get = self.mod.download_url_content
        url = self.cfg["url"]
        refused = outcomes(lambda: get(url, self.dir, "8192"), lambda: get(url, None), lambda: get(None, self.dir),
                           lambda: get(url, self.dir, None), lambda: get(url))
        path = self.mod.download_url_content(self.cfg["url"], self.dir)
        h = hashlib.sha256()
        with open(path, "rb") as f:
            while block := f.read(MiB):
                h.update(block)
        size = os.path.getsize(path)
        os.remove(path)
        return {"path": path.replace(self.dir, "<save_dir>"), "bytes": size, "sha256": h.hexdigest(),
                "refused": refused}

    def run(self):
        self.path = self.mod.download_url_content(self.cfg["url"], self.dir)

    def after_run(self):
        os.remove(self.path)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


E2E = [E1C1, E1C50, E1C500, E2Sse, E2Chunks, E3Download]
