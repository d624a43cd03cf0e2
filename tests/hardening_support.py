"""Shared helpers for the hardening tests: usage snapshots (objects by type,
allocated blocks, traced memory, resident memory, open descriptors), a real
aiohttp.web server in a child process, a raw HTTP server that misbehaves on
purpose, child interpreters for checks that could crash, and the settings of
the property-based tests."""

import asyncio
import collections
import contextlib
import ctypes
import gc
import json
import os
import resource
import socket
import subprocess
import sys
import threading
import time
import tracemalloc
import types
import warnings

from hypothesis import HealthCheck, settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAFETY = 60  # seconds; only guards against a hang, never asserted on

# Under the sanitizers every allocation is slower and freed memory is kept
# in quarantine (so resident memory says nothing); the counts shrink there.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libubsan"))
REPEAT = int(os.environ.get("KELPIE_HARDENING_REPEAT", "300" if SANITIZED else "1000"))
NET_REPEAT = max(100, REPEAT // 2)  # calls that open a connection each
EXAMPLES = int(os.environ.get("KELPIE_HARDENING_EXAMPLES", "60" if SANITIZED else "200"))

# Reproducible in CI: the same examples every run, nothing stored between runs.
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=list(HealthCheck), print_blob=True)


# ---- usage snapshots ---------------------------------------------------------


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def _glibc_malloc_trim():
    if SANITIZED:  # the sanitizers' allocator, not the C library's, holds the memory
        return None
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return None
    trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return trim


_malloc_trim = _glibc_malloc_trim()


def rss():
    """Resident memory, once the C library has handed the memory it holds
    free back to the system: what is in use, not the peak of what was.  The
    peak depends on how much work happened to be in flight at once, and so
    on the machine's load."""
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


class Usage:
    """What the process holds at one moment, after a full collection."""

    def __init__(self):
        for _ in range(2):
            gc.collect()
        self.fds = fd_count()
        self.types = collections.Counter(type(o) for o in gc.get_objects())
        self.blocks = sys.getallocatedblocks()  # 0 when pymalloc is not in use
        self.traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else None
        self.rss = rss()

    def __sub__(self, before):
        return Growth(self.types - before.types, before.types - self.types, self.blocks - before.blocks,
                      None if before.traced is None else self.traced - before.traced, self.rss - before.rss,
                      self.fds - before.fds, counted=bool(before.blocks))


class Growth:
    """The difference between two moments, or between the growth of two
    stretches of work (Growth - Growth): objects by type, allocated blocks,
    traced and resident bytes, open descriptors."""

    def __init__(self, gained, lost, blocks, traced, rss, fds, counted=True):
        self.gained, self.lost = gained, lost  # objects by type, both non-negative
        self.blocks, self.traced, self.rss, self.fds, self.counted = blocks, traced, rss, fds, counted

    def __sub__(self, other):
        net = (self.gained + other.lost)
        net.subtract(self.lost + other.gained)
        return Growth(+net, -net, self.blocks - other.blocks,
                      None if self.traced is None or other.traced is None else self.traced - other.traced,
                      self.rss - other.rss, self.fds - other.fds, self.counted and other.counted)

    def suspicious(self, n):
        """Metric -> growth for every metric that grew by an amount that only
        a per-call leak explains (a quarter of an object per call; 32 bytes
        per call of traced memory)."""
        limit = max(n // 4, 100)
        found = {}
        for t, count in self.gained.items():
            if count >= limit:
                found[f"{t.__qualname__} objects"] = count
        if self.counted and self.blocks >= limit:
            found["allocated blocks"] = self.blocks
        # the sanitizers' allocator makes the interpreter's own caches noisier
        slack = 4 if SANITIZED else 1
        if self.traced is not None and self.traced >= slack * (32 * 1024 + 32 * n):
            found["traced bytes"] = self.traced
        if not SANITIZED and self.rss > 4 * 1024 * 1024 + 256 * n:
            found["resident bytes"] = self.rss
        return found


def grew_twice(first, second, n, calls=1):
    """What grew in both halves of n repetitions (first and second: their
    Growth), by no less in the second half than half the first (a cache
    filling up grows once, or less and less)."""
    first, second = first.suspicious(n // 2 * calls), second.suspicious((n - n // 2) * calls)
    return [f"{k}: +{second[k]} in the second {n - n // 2} calls, +{first[k]} in the first {n // 2}"
            for k in second if k in first and 2 * second[k] >= first[k]]


def leaks(before, middle, after, n, calls=1):
    """What grew in both halves of n repetitions (of `calls` calls each), and
    any change in the open descriptors."""
    problems = grew_twice(middle - before, after - middle, n, calls)
    if after.fds != before.fds:
        problems.append(f"open descriptors went from {before.fds} to {after.fds}")
    return problems


@contextlib.contextmanager
def tracing():
    """tracemalloc on for the block (unless it already is)."""
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        yield
    finally:
        if started:
            tracemalloc.stop()


def outcome(fn, *args, **kwargs):
    """("ok", result) or (exception type, message): comparable between calls."""
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - SystemExit and friends are outcomes too
        return type(exc), str(exc)


def attempt(fn, *args, **kwargs):
    """What fn(*args, **kwargs) returned, or the exception it raised."""
    try:
        return fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - compared by the caller
        return exc


async def aoutcome(make):
    try:
        return "ok", await make()
    except BaseException as exc:  # noqa: B036 - cancellation is an outcome here
        return type(exc), str(exc)


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def assert_repeatable(op, expected, *, n=REPEAT, watch=(), calls=1):
    """op() gives `expected` every time, and n calls leave objects, memory,
    descriptors and the reference counts of `watch` where they were."""

    def batch(count):
        for _ in range(count):
            got = op()
            if got != expected:
                raise AssertionError(f"{got!r} != {expected!r}")

    with tracing():
        batch(max(10, n // 5))  # caches fill, lazy imports happen
        before = Usage()
        refs = refcounts(watch)
        batch(n // 2)
        middle = Usage()
        batch(n - n // 2)
        after = Usage()
    assert refcounts(watch) == refs, f"reference counts of the arguments went from {refs} to {refcounts(watch)}"
    problems = leaks(before, middle, after, n, calls)
    assert not problems, problems


async def settle():
    """A few turns of the loop: transports closed by the last call go away."""
    for _ in range(5):
        await asyncio.sleep(0)


async def assert_repeatable_async(op, expected, *, n=NET_REPEAT, watch=(), calls=1, twin=None):
    """The same as assert_repeatable, for `await op()` on the running loop.

    With a twin (the same path written in plain Python, `await twin()`
    giving the same outcome) the check is differential: op's first half of
    the repetitions, then both halves of the twin's, then op's second half,
    and only the growth op shows beyond the twin's counts.  What aiohttp,
    asyncio or the interpreter keep for themselves on that path, or what the
    rest of the process does meanwhile, then falls on both alike."""

    async def batch(fn, count):
        for _ in range(count):
            got = await fn()
            if got != expected:
                raise AssertionError(f"{got!r} != {expected!r}")
        await settle()

    halves = (n // 2, n - n // 2)
    with tracing():
        await batch(op, max(10, n // 5))
        if twin is None:
            before = Usage()
            refs = refcounts(watch)
            await batch(op, halves[0])
            middle = Usage()
            await batch(op, halves[1])
            after = Usage()
            assert refcounts(watch) == refs, (f"reference counts of the arguments went from {refs} to "
                                              f"{refcounts(watch)}")
            problems = leaks(before, middle, after, n, calls)
            assert not problems, problems
            return
        await batch(twin, max(10, n // 5))
        # op, twin, twin, op: what the process gains less and less of over
        # time (a cache or table filling up) favours the first half of op
        # and the second of the twin, so it cannot show in both.
        marks, moved, own, plain = [Usage()], [], [], []
        for mine, half in ((True, halves[0]), (False, halves[0]), (False, halves[1]), (True, halves[1])):
            refs = refcounts(watch)  # as a collection left them
            await batch(op if mine else twin, half)
            marks.append(Usage())
            (own if mine else plain).append(marks[-1] - marks[-2])
            if mine:
                moved += [(r, a) for r, a in zip(refs, refcounts(watch)) if r != a]
    assert not moved, f"reference counts of the arguments changed over the calls, (before, after): {moved}"
    problems = grew_twice(own[0] - plain[0], own[1] - plain[1], n, calls)
    fds = own[0].fds + own[1].fds
    if fds:
        problems.append(f"open descriptors: {fds:+d} over the calls")
    assert not problems, problems


def each_repeatable(cases, n=REPEAT):
    """assert_repeatable for every (name, op, expected, watch) case; the
    failures of all cases are reported together, by name."""
    failures = []
    for name, op, expected, watch in cases:
        try:
            assert_repeatable(op, expected, n=n, watch=watch)
        except AssertionError as exc:
            failures.append(f"{name}: {exc}")
    assert not failures, "\n".join(failures)


async def each_repeatable_async(cases, n=NET_REPEAT, twins=None):
    """each_repeatable for awaited ops; with twins (one plain-Python op per
    case, or None), each case with a twin is checked differentially."""
    twins = twins or [None] * len(cases)
    # The first few hundred connections of a process fill caches and free
    # lists that stay: warm up before anything is measured.
    for _ in range(300):
        await cases[0][1]()
        if twins[0] is not None:
            await twins[0]()
    failures = []
    for (name, op, expected, watch), twin in zip(cases, twins):
        try:
            await assert_repeatable_async(op, expected, n=n, watch=watch, twin=twin)
        except AssertionError as exc:
            failures.append(f"{name}: {exc}")
    assert not failures, "\n".join(failures)


def unclosed_warnings():
    """Collects garbage and returns the texts of the resource warnings it set off
    (aiohttp's unclosed session and connector, unclosed files and sockets)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            gc.collect()
    return [str(w.message) for w in caught
            if issubclass(w.category, ResourceWarning) or "Unclosed" in str(w.message)]


# ---- cancellation at a chosen suspension ----------------------------------------------


class Suspensions:
    """Counts the suspensions of one await and cancels the task at the k-th."""

    def __init__(self, k):
        self.k, self.count, self.cancel_requested = k, 0, False


@types.coroutine
def cancel_at(awaitable, box):
    """`await awaitable`, as the interpreter drives it, except that the running
    task is cancelled when the awaitable suspends for the box.k-th time: the
    cancellation reaches it exactly at that await point."""
    it = awaitable.__await__()
    value, error = None, None
    while True:
        try:
            yielded = it.throw(error) if error is not None else it.send(value)
        except StopIteration as stop:
            return stop.value
        box.count += 1
        if box.count == box.k:
            box.cancel_requested = True
            asyncio.current_task().cancel()
        try:
            value, error = (yield yielded), None
        except BaseException as exc:  # noqa: B036 - handed on like `await` does
            value, error = None, exc


# ---- a real aiohttp.web server in a child process --------------------------------------

BODY = bytes(range(256)) * 80  # 20 KiB served by the download route


def serve():
    """Entry point of the server child: prints its port, serves until its
    standard input is closed."""
    from aiohttp import web

    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    forever = asyncio.Event()

    async def body_of(request):
        if request.content_type == "multipart/form-data":
            fields = {}
            reader = await request.multipart()
            while (part := await reader.next()) is not None:
                fields[part.name] = [part.filename, part.headers.get("Content-Type"),
                                     (await part.read()).decode("latin-1")]
            return {"fields": fields}
        raw = await request.read()
        try:
            return {"json": json.loads(raw)} if raw else {"json": None}
        except ValueError:
            return {"raw": raw.decode("latin-1")}

    async def ok(request):
        await request.read()
        return web.json_response({"ok": True})

    async def echo(request):
        return web.json_response(await body_of(request))

    async def text(request):
        await request.read()
        return web.Response(text="plain text", content_type="text/plain")

    async def status(request):
        await request.read()
        code = int(request.match_info["code"])
        return web.Response(status=code, text=f"status {code}")

    async def sse(request):
        got = await body_of(request)
        tag = (got.get("json") or {}).get("tag", "") if isinstance(got.get("json"), dict) else ""
        resp = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await resp.prepare(request)
        for i in range(int(request.query.get("n", "3"))):
            await resp.write(f"data: {tag}{i}\n: comment\nevent: e\n\n".encode())
        await resp.write_eof()
        return resp

    async def feed(request):
        pieces = [p.encode("latin-1") for p in (await request.json())["pieces"]]
        resp = web.StreamResponse(headers={"Content-Type": "application/octet-stream"})
        await resp.prepare(request)
        for piece in pieces:
            await resp.write(piece)
            await asyncio.sleep(0.001)  # each piece travels on its own
        await resp.write_eof()
        return resp

    async def stall(request):
        await request.read()
        await forever.wait()

    async def stall_body(request):
        await request.read()
        resp = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await resp.prepare(request)
        await resp.write(b"data: one\n")
        await forever.wait()

    inflight = collections.Counter()
    peaks = collections.Counter()
    barriers = {}

    async def barrier(request):
        """Holds every request of a group until `barrier` of them are in
        flight at once (or SAFETY seconds pass); returns the peak seen."""
        group, size = request.query["group"], int(request.query["barrier"])
        event = barriers.setdefault(group, asyncio.Event())
        inflight[group] += 1
        peaks[group] = max(peaks[group], inflight[group])
        if inflight[group] >= size:
            event.set()
        try:
            await asyncio.wait_for(event.wait(), SAFETY)
        except asyncio.TimeoutError:
            pass
        finally:
            inflight[group] -= 1
        return peaks[group]

    async def barrier_echo(request):
        got = await body_of(request)
        peak = await barrier(request)
        return web.json_response({"echo": got.get("json"), "peak": peak})

    async def barrier_sse(request):
        got = await body_of(request)
        peak = await barrier(request)
        tag = got["json"]["tag"]
        resp = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await resp.prepare(request)
        await resp.write(f"data: peak {peak}\n".encode())
        for i in range(int(request.query.get("n", "5"))):
            await resp.write(f": keep-alive\ndata: {tag}-{i}\n\n".encode())
            await asyncio.sleep(0)
        await resp.write_eof()
        return resp

    async def file(request):
        return web.Response(body=BODY, content_type="application/octet-stream")

    async def missing(request):
        return web.Response(status=404, text="not here")

    async def main():
        app = web.Application(client_max_size=64 * 1024 * 1024)
        posts = {"/ok": ok, "/echo": echo, "/text": text, "/status/{code}": status, "/sse": sse, "/feed": feed,
                 "/stall": stall, "/stall-body": stall_body, "/barrier-echo": barrier_echo, "/barrier-sse": barrier_sse}
        gets = {"/files/{name}": file, "/files/": file, "/missing/{name}": missing}
        app.add_routes([web.post(path, handler) for path, handler in posts.items()]
                       + [web.get(path, handler) for path, handler in gets.items()])
        runner = web.AppRunner(app, access_log=None, handler_cancellation=True)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0, backlog=4096)
        await site.start()
        print(site._server.sockets[0].getsockname()[1], flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
        await runner.cleanup()

    asyncio.run(main())


class ServerProcess:
    """The server child: `url(path)` names one of its routes."""

    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", "from tests.hardening_support import serve; serve()"],
            cwd=ROOT, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line:
            self.close()
            raise RuntimeError("the server child did not start")
        self.port = int(line)
        self.base = f"http://127.0.0.1:{self.port}"

    def url(self, path):
        return self.base + path

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(SAFETY)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


# ---- a raw HTTP server that misbehaves -----------------------------------------------------

def _long_line():
    from aiohttp import helpers

    # aiohttp reads a line of at most twice its read buffer size
    return 2 * getattr(helpers, "DEFAULT_CHUNK_SIZE", 2**16) + 4096


LONG_LINE = _long_line()


def _rst_close(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()


class FaultServer:
    """HTTP/1.1 on 127.0.0.1, one thread per connection, one misbehaviour per
    first segment of the request path (the rest and the query are ignored):

      /reset-headers  half a status line, then a reset
      /reset-body     a 10000-byte Content-Length, 3000 bytes, then a reset
      /close-body     the same, ended by an orderly close (a truncated body)
      /bad-chunk      chunked encoding with a chunk size that is not hex
      /cut-chunk      a chunk that declares 100 bytes and brings 10, then a close
      /long-line      an event stream: one data line, then a line of LONG_LINE bytes
      /long-header    a header line longer than aiohttp's 8190-byte limit
      /garbage        a status line that is not HTTP
      /stall          reads the request and never answers
      /stall-body     headers and one event-stream line, then nothing
      anything else   200 with a small JSON body

    `arrived[path]` is set when a request for that path has been read."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.arrived = collections.defaultdict(threading.Event)
        self.conns, self.threads = [], set()
        self.lock = threading.Lock()
        self.closing = False
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                if self.closing:
                    conn.close()
                    return
                self.conns.append(conn)
                t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
                self.threads.add(t)
            t.start()

    @staticmethod
    def _read_request(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            more = conn.recv(65536)
            if not more:
                return None
            data += more
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        while len(rest) < length:
            more = conn.recv(65536)
            if not more:
                return None
            rest += more
        return "/" + lines[0].split(" ")[1].split("?")[0].split("/")[1]

    @staticmethod
    def _wait_for_close(conn):
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass

    def _serve(self, conn):
        try:
            path = self._read_request(conn)
            if path is None:
                return
            self.arrived[path].set()
            send = conn.sendall
            if path == "/reset-headers":
                send(b"HTTP/1.1 200 O")
                return _rst_close(conn)
            if path in ("/reset-body", "/close-body"):
                send(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10000\r\n\r\n")
                send(b"d" * 3000)
                if path == "/reset-body":
                    # A reset discards what the client has not read yet: give
                    # it time to read the 3000 bytes, or how many arrive
                    # would depend on the scheduler.
                    time.sleep(0.2)
                    return _rst_close(conn)
                return conn.close()
            if path == "/bad-chunk":
                send(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"a\r\ndata: one\n\r\nzz\r\nbroken\r\n0\r\n\r\n")
                return self._wait_for_close(conn)
            if path == "/cut-chunk":
                send(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"a\r\ndata: one\n\r\n64\r\n0123456789")
                return conn.close()
            if path == "/long-line":
                send(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n"
                     b"data: one\n" + b"x" * LONG_LINE + b"\ndata: two\n")
                return conn.close()
            if path == "/long-header":
                send(b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 70000 + b"\r\nContent-Length: 2\r\n\r\n{}")
                return self._wait_for_close(conn)
            if path == "/garbage":
                send(b"NOT HTTP AT ALL\r\n\r\n")
                return self._wait_for_close(conn)
            if path == "/stall":
                return self._wait_for_close(conn)
            if path == "/stall-body":
                send(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"a\r\ndata: one\n\r\n")
                return self._wait_for_close(conn)
            send(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
                 b"Connection: close\r\n\r\n{\"ok\": true}")
            conn.close()
        except OSError:
            pass
        finally:
            # Closed before the thread leaves the set that close() joins:
            # once close() returns, no connection of ours is still open.
            conn.close()
            with self.lock:
                if conn in self.conns:
                    self.conns.remove(conn)
                self.threads.discard(threading.current_thread())

    def close(self):
        with self.lock:
            self.closing = True
            conns = list(self.conns)
        for conn in conns:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        self.acceptor.join(SAFETY)
        self.sock.close()
        with self.lock:
            threads = list(self.threads)
        for t in threads:
            t.join(SAFETY)


# ---- files ------------------------------------------------------------------------------------


@contextlib.contextmanager
def scratch_dir():
    """A temporary directory, in memory where the machine offers one: loops
    that rewrite a file thousands of times would otherwise wait on the
    journal of the disk (ext4 flushes a truncated file when it is replaced)."""
    import shutil
    import tempfile

    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    path = tempfile.mkdtemp(prefix="kelpie-hardening-", dir=base)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


# ---- child interpreters ---------------------------------------------------------------------


def run_child(code, *, timeout=900, args=()):
    """Runs `code` in a fresh interpreter (same environment, sanitizer runtime
    included) from the repository root; a crash or any failure in the child
    fails the calling test with the child's output."""
    proc = subprocess.run([sys.executable, "-X", "faulthandler", *args, "-c", code], cwd=ROOT,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, (f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout[-8000:]}"
                                  f"\n--- stderr\n{proc.stderr[-20000:]}")
    return proc.stdout
