"""Memory per call in flight: what a call that is waiting costs to keep.

A case starts N calls over the stand-in aiohttp of standin.py and leaves all
of them suspended at the same point: inside ``await response.json()`` (the
stand-in's json() awaits a bare ``yield``, so one ``send(None)`` takes a call
there) or, for a stream, just after it has yielded its first item.  The
stand-in objects and the arguments are made once and shared by every call, so
what grows is the calls' own state.

Two figures per call: the bytes tracemalloc traces (the interpreter's
allocators) and the growth of the resident set (VmRSS, which also sees memory
taken outside those allocators).  Each side runs in a fresh process of its own
(this file with --worker), the sides alternating over the rounds; the table
gives the medians.  The target is on the traced figure.
"""

import gc
import inspect
import json
import statistics
import subprocess
import sys
import tracemalloc
import types

import harness
import standin
from glue import HEADERS, PAYLOAD, URL, Upload


@types.coroutine
def _pause():
    yield


waiting = 0  # calls paused in json() right now
first_item = None  # what the latest stream yielded


class PausingResponse(standin.Response):
    __slots__ = ()

    async def json(self):
        global waiting
        waiting += 1
        try:
            await _pause()
        finally:
            waiting -= 1
        return self._json


class Case:
    target = 1.0  # traced bytes per call, kelpie / baseline
    counts = (5_000, 100_000)  # calls in flight: quick, full

    def __init__(self, key, name, stream, call):
        self.key, self.name, self.stream, self.call = key, name, stream, call


FORM = {"title": "cat", "count": 3, "note": None}  # the form of the G2 form benchmarks
PHOTO = Upload(b"\x89PNG....")
PHOTO.label = "photo"
FILES = {"image": ("cat.png", PHOTO, "image/png")}

# `call` takes async_call_api (async_call_api_stream for a stream) and gives
# what makes one call of it with the shared arguments.
INFLIGHT = [
    Case("I1-json", "I1 in json(), JSON mode", False, lambda f: lambda: f(URL, headers=HEADERS, payload=PAYLOAD)),
    Case("I1-form", "I1 in json(), form mode", False,
         lambda f: lambda: f(URL, headers=HEADERS, data=FORM, files=FILES)),
    Case("I2-chunks", "I2 stream, after an item", True, lambda f: lambda: f(URL, headers=HEADERS, payload=PAYLOAD)),
    Case("I2-sse", "I2 sse, after an item", True, lambda f: lambda: f(URL, headers=HEADERS, payload=PAYLOAD, sse=True)),
]

# ---- inside a worker -------------------------------------------------------------------


def _advance_call(c):
    try:
        c.send(None)
    except StopIteration:
        raise SystemExit("a call finished instead of suspending in json()") from None
    return c


def _advance_stream(g):
    global first_item
    try:
        g.__anext__().send(None)
    except StopIteration as stop:
        first_item = stop.value
        return g
    raise SystemExit("a stream suspended before its first item")


def _agen_state(g):
    if hasattr(inspect, "getasyncgenstate"):
        return inspect.getasyncgenstate(g)
    return "AGEN_RUNNING" if g.ag_running else "AGEN_CLOSED" if g.ag_frame is None else "AGEN_SUSPENDED"


def _point(case, slots):
    """Where the calls are.  Checked after the readings: on some versions,
    asking for a state makes a frame object, which no call in flight has."""
    if case.stream:
        states = {_agen_state(g) for g in slots}
        point = {"states": sorted(states), "first item": repr(first_item)}
        ok = states == {"AGEN_SUSPENDED"}
    else:
        states = {inspect.getcoroutinestate(c) for c in slots}
        point = {"states": sorted(states), "in json()": waiting}
        ok = states == {"CORO_SUSPENDED"} and waiting == len(slots)
    if not ok:
        raise SystemExit(f"{case.key}: the calls are not all suspended where they should be: {point}")
    return point


def _close(case, slots):
    """Closes every call (over the stand-in a stream's aclose() finishes at
    once) and empties the slots."""
    for i, obj in enumerate(slots):
        if not case.stream:
            obj.close()
        else:
            try:
                obj.aclose().send(None)
            except StopIteration:
                pass
            else:
                raise SystemExit(f"{case.key}: closing a stream suspended")
        slots[i] = None
    if waiting:
        raise SystemExit(f"{case.key}: {waiting} calls still in json() after close()")


def _growth(fill, read, trim=None):
    gc.collect()
    if trim is not None:
        trim(0)
    before = read()
    fill()
    gc.collect()
    return read() - before


def worker(side, key, n):
    case = next(c for c in INFLIGHT if c.key == key)
    mod = harness.side_module(side, "courier")
    mod.aiohttp = standin.make(PausingResponse(
        200, json_value={"id": 7, "ok": True}, chunks=(b"first chunk", b"second", b"third"),
        lines=(b'data: {"n": 1}\n', b"\n", b'data: {"n": 2}\n', b"\n", b"data: [DONE]\n"),
    ))
    start = case.call(mod.async_call_api_stream if case.stream else mod.async_call_api)
    advance = _advance_stream if case.stream else _advance_call
    try:  # glibc's: hands freed memory back, for a lower starting point
        trim = __import__("ctypes").CDLL(None).malloc_trim
    except (ImportError, OSError, AttributeError):
        trim = None
    slots = [None] * n  # made before the first reading: its growth is not counted

    def fill():
        for i in range(n):
            slots[i] = advance(start())

    _close(case, [advance(start()) for _ in range(100)])  # warm-up: first-call caches
    rss = _growth(fill, lambda: harness._status_kib("VmRSS") * 1024, trim)
    point = _point(case, slots)
    _close(case, slots)
    tracemalloc.start()
    traced = _growth(fill, lambda: tracemalloc.get_traced_memory()[0])
    if _point(case, slots) != point:
        raise SystemExit(f"{case.key}: the two passes stopped at different points")
    _close(case, slots)
    tracemalloc.stop()
    print(json.dumps({"traced": traced / n, "rss": rss / n, "point": point}))


# ---- in the parent ---------------------------------------------------------------------


def _spawn(side, case, n):
    proc = subprocess.run([sys.executable, __file__, "--worker", side, case.key, str(n)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise harness.WorkerError(f"the {side} worker of {case.key} failed:\n{proc.stderr.strip()}")
    if proc.stderr.strip():
        harness.eprint(f"    {side} worker: {proc.stderr.strip()}")
    return json.loads(proc.stdout.splitlines()[-1])


def _rows(case, samples):
    rows = []
    for metric, target in (("traced", case.target), ("rss", None)):
        vals = {side: [s[metric] for s in samples[side]] for side in harness.SIDES}
        k, b = (statistics.median(vals[side]) for side in harness.SIDES)
        ratio = k / b if b > 0 else float("inf")
        rows.append({
            "name": case.name, "metric": metric, "unit": "B/call", "kelpie": k, "baseline": b, "ratio": ratio,
            "paired": statistics.median(x / y if y > 0 else float("inf") for x, y in zip(*vals.values())),
            "kelpie_range": (min(vals["kelpie"]), max(vals["kelpie"])),
            "baseline_range": (min(vals["baseline"]), max(vals["baseline"])),
            "target": target, "ok": target is None or ratio <= target,
        })
    return rows


def run(cases, quick=False, rounds=None):
    """Measures `cases` and prints their table; returns how many missed."""
    rounds = rounds or 3
    rows = []
    for case in cases:
        n = case.counts[0 if quick else 1]
        harness.eprint(f"[{case.key}] {case.name}, {n:,} calls ...")
        samples = {side: [] for side in harness.SIDES}
        for r in range(rounds):
            for side in harness.SIDES if r % 2 == 0 else harness.SIDES[::-1]:
                samples[side].append(_spawn(side, case, n))
            points = {side: samples[side][-1]["point"] for side in harness.SIDES}
            if points["kelpie"] != points["baseline"]:
                raise harness.OutputMismatch(
                    f"{case.name}: the calls of the two sides are not at the same point\n"
                    f"  kelpie:   {points['kelpie']}\n  baseline: {points['baseline']}")
        rows += _rows(case, samples)
    missed = sum(not r["ok"] for r in rows)
    print("\nMemory per call in flight, in bytes (traced: tracemalloc; rss: resident set growth):")
    print(harness.format_table(rows))
    print(f"{len(cases) - missed} of {len(cases)} cases within target (traced); {n:,} calls in flight, "
          f"median of {rounds} rounds, a fresh process per side and round")
    return missed


if __name__ == "__main__":
    if sys.argv[1:2] != ["--worker"]:
        raise SystemExit("run it through run.py: python bench/run.py --only inflight [--quick]")
    harness.quiet_kelpie_import()
    worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
